// libFuzzer target: the same bytes through our TOML reader and through toml++, trapping on any disagreement not listed below.
//
// Both must accept or refuse alike, and when both accept, decode to the same tree. Only these
// differences are excused, each where it occurs (at the literal or key that toml++'s or our
// error points into); the input is then retried with that construct rewritten into a form both
// readers take, so that the rest of the document is still compared:
// - Integers outside int64: we keep -2^127..2^128-1, toml++ refuses them ("not representable").
// - Number literals longer than 126 characters (long floats, leading zeros after `0x`, `0o`,
//   `0b`): toml++ reads numbers through a fixed window and buffer, TOML sets no digit limit.
// - Date-time fractions of more than 64 digits, which TOML says to truncate: toml++ refuses them.
// - A seconds field of 60: TOML's grammar allows leap seconds, toml++ refuses them.
// - Draft syntax that toml++ accepts with its unreleased features on: non-ASCII characters and `+`
//   in bare keys, hexadecimal floats (`0x1p3`, `0X1P3`). Those features are on because they also
//   give \e, \xHH, optional seconds and newlines in inline tables, which TOML 1.1 has and
//   toml++ 3.3 keeps behind the same switch; without them many more inputs would need excusing.
// - toml++ trims non-ASCII spaces (U+00A0, U+3000, U+FEFF, ...) after a line-ending backslash as
//   it does spaces and tabs; TOML trims only those and newlines.
// - Nesting past our `max_nesting` levels, which toml++ takes up to its own limit (not retried).
// - Nesting past toml++'s own limit (TOML_MAX_NESTED_VALUES, 256 levels), which we take up to ours.
// - Error wording and positions: only accepting or refusing is compared.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "loading/toml_document.hpp"
#include "toml_json.hpp"
#include "text/utf8.hpp"
#include "toml_oracle.hpp"

namespace {

using qarv::toml::Document;
using qarv::toml::Kind;
using qarv::toml::Value;

/// A change to the input that takes an excused construct out of it without changing what the
/// rest of the document means.
struct Rewrite {
    std::size_t start, end;
    std::string replacement;
};

/// What to do about a disagreement: nothing excuses it, it is excused and the input needs no
/// further look, or it is excused and the rewritten input is compared again.
struct Verdict {
    enum { fault, done, retry } action;
    Rewrite rewrite{};
};

// ---------------------------------------------------------------- positions

/// The byte offset of toml++'s line and column: lines end at '\n', columns count code points
/// from 1, and a leading byte order mark is not counted. Positions past the text give its size.
std::size_t byte_offset(std::string_view text, toml::source_position position) {
    std::size_t at = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    for (toml::source_index line = 1; line < position.line; ++line) {
        const std::size_t newline = text.find('\n', at);
        if (newline == std::string_view::npos) return text.size();
        at = newline + 1;
    }
    for (toml::source_index column = 1; column < position.column && at < text.size(); ++column) {
        if (text[at] == '\n') return at;
        const std::size_t length = qarv::utf8::sequence_length(text, at);
        at += length == 0 ? 1 : length;
    }
    return std::min(at, text.size());
}

// ---------------------------------------------------------------- normal forms

/// A float as text that both readers take back to the same double.
std::string float_literal(double number) {
    if (std::isnan(number)) return std::signbit(number) ? "-nan" : "nan";
    if (std::isinf(number)) return number < 0 ? "-inf" : "inf";
    char buffer[64];
    const auto [end, status] = std::to_chars(buffer, buffer + sizeof buffer, number);
    std::string out(buffer, end);
    if (out.find_first_of(".e") == std::string::npos) out += ".0";
    return out;
}

/// A date, time or date-time as `YYYY-MM-DDTHH:MM:SS.nnnnnnnnn+HH:MM`, each part present only
/// where the kind has it; fractions are cut to nanoseconds, as toml++ keeps them.
std::string normal_time(std::uint32_t hour, std::uint32_t minute, std::uint32_t second, std::uint32_t nanosecond) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02u:%02u:%02u.%09u", hour, minute, second, nanosecond);
    return buffer;
}

std::string normal_offset(int minutes) {
    char buffer[16];
    const int magnitude = minutes < 0 ? -minutes : minutes;
    std::snprintf(buffer, sizeof buffer, "%c%02d:%02d", minutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return buffer;
}

int digits_at(std::string_view text, std::size_t at, std::size_t count) {
    int value = 0;
    for (std::size_t k = at; k < at + count && k < text.size(); ++k) value = value * 10 + (text[k] - '0');
    return value;
}

/// Our date-time literal, as written, in the normal form.
std::string normal_form(std::string_view literal, Kind kind) {
    std::string out;
    std::size_t at = 0;
    if (kind != Kind::local_time) {
        out = std::string(literal.substr(0, 10));
        if (kind == Kind::local_date) return out;
        out += 'T';
        at = 11;
    }
    const int hour = digits_at(literal, at, 2), minute = digits_at(literal, at + 3, 2);
    int second = 0;
    std::uint32_t nanosecond = 0;
    at += 5;
    if (at < literal.size() && literal[at] == ':') {
        second = digits_at(literal, at + 1, 2);
        at += 3;
        if (at < literal.size() && literal[at] == '.') {
            ++at;
            std::size_t digits = 0;
            for (; at < literal.size() && literal[at] >= '0' && literal[at] <= '9'; ++at, ++digits)
                if (digits < 9) nanosecond = nanosecond * 10 + static_cast<std::uint32_t>(literal[at] - '0');
            for (; digits < 9; ++digits) nanosecond *= 10;
        }
    }
    out += normal_time(static_cast<std::uint32_t>(hour), static_cast<std::uint32_t>(minute),
                       static_cast<std::uint32_t>(second), nanosecond);
    if (kind == Kind::offset_datetime) {
        int minutes = 0;
        if (at < literal.size() && (literal[at] == '+' || literal[at] == '-')) {
            minutes = digits_at(literal, at + 1, 2) * 60 + digits_at(literal, at + 4, 2);
            if (literal[at] == '-') minutes = -minutes;
        }
        out += normal_offset(minutes);
    }
    return out;
}

std::string normal_date(const toml::date& date) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u", unsigned{date.year}, unsigned{date.month}, unsigned{date.day});
    return buffer;
}

std::string normal_form(const toml::time& time) {
    return normal_time(time.hour, time.minute, time.second, time.nanosecond);
}

// ---------------------------------------------------------------- comparing trees

const char* kind_name(Kind kind) {
    switch (kind) {
    case Kind::table: return "table";
    case Kind::array: return "array";
    case Kind::string: return "string";
    case Kind::integer: return "integer";
    case Kind::floating: return "float";
    case Kind::boolean: return "boolean";
    case Kind::offset_datetime: return "offset date-time";
    case Kind::local_datetime: return "local date-time";
    case Kind::local_date: return "local date";
    case Kind::local_time: return "local time";
    }
    return "?";
}

/// The first difference between the two trees, as a path and both sides; empty when they agree.
std::string difference(const Value& ours, const toml::node& theirs, const std::string& path) {
    // Our trees nest at most `max_nesting` deep, which bounds this recursion.
    const auto differ = [&](const std::string& our_side, const std::string& their_side) {
        return path + ": ours " + our_side + ", toml++ " + their_side;
    };
    const auto their_type = [&] {
        switch (theirs.type()) {
        case toml::node_type::table: return std::string("table");
        case toml::node_type::array: return std::string("array");
        case toml::node_type::string: return std::string("string");
        case toml::node_type::integer: return std::string("integer");
        case toml::node_type::floating_point: return std::string("float");
        case toml::node_type::boolean: return std::string("boolean");
        case toml::node_type::date: return std::string("local date");
        case toml::node_type::time: return std::string("local time");
        case toml::node_type::date_time:
            return std::string(theirs.as_date_time()->get().offset ? "offset date-time" : "local date-time");
        default: return std::string("none");
        }
    };
    const std::string our_type = kind_name(ours.kind());
    if (our_type != their_type()) return differ(our_type, their_type());

    switch (ours.kind()) {
    case Kind::table: {
        const toml::table& table = *theirs.as_table();
        if (ours.size() != table.size())
            return differ(std::to_string(ours.size()) + " keys", std::to_string(table.size()) + " keys");
        for (const qarv::toml::Entry& entry : ours.entries()) {
            const toml::node* match = table.get(entry.key);
            const std::string inner = path + "." + std::string(entry.key);
            if (match == nullptr) return inner + ": only in ours";
            std::string found = difference(entry.value, *match, inner);
            if (!found.empty()) return found;
        }
        return {};
    }
    case Kind::array: {
        const toml::array& array = *theirs.as_array();
        const std::vector<Value> elements = ours.elements();
        if (elements.size() != array.size())
            return differ(std::to_string(elements.size()) + " elements", std::to_string(array.size()) + " elements");
        for (std::size_t k = 0; k < elements.size(); ++k) {
            std::string found = difference(elements[k], array[k], path + "[" + std::to_string(k) + "]");
            if (!found.empty()) return found;
        }
        return {};
    }
    case Kind::string: {
        const std::string& their_text = theirs.as_string()->get();
        if (ours.string() != their_text) return differ('"' + std::string(ours.string()) + '"', '"' + their_text + '"');
        return {};
    }
    case Kind::integer: {
        const qarv::toml::Integer integer = ours.integer();
        const std::int64_t their_value = theirs.as_integer()->get();
        if (!integer.fits_int64() || integer.as_int64() != their_value)
            return differ(integer.decimal(), std::to_string(their_value));
        return {};
    }
    case Kind::floating: {
        const double our_value = ours.floating(), their_value = theirs.as_floating_point()->get();
        const bool same = std::isnan(our_value) ? std::isnan(their_value)
                                                : std::memcmp(&our_value, &their_value, sizeof(double)) == 0;
        if (!same) return differ(float_literal(our_value), float_literal(their_value));
        return {};
    }
    case Kind::boolean:
        if (ours.boolean() != theirs.as_boolean()->get())
            return differ(ours.boolean() ? "true" : "false", theirs.as_boolean()->get() ? "true" : "false");
        return {};
    case Kind::offset_datetime:
    case Kind::local_datetime:
    case Kind::local_date:
    case Kind::local_time: {
        std::string their_text;
        if (const auto* date = theirs.as_date()) {
            their_text = normal_date(date->get());
        } else if (const auto* time = theirs.as_time()) {
            their_text = normal_form(time->get());
        } else {
            const toml::date_time& date_time = theirs.as_date_time()->get();
            their_text = normal_date(date_time.date) + "T" + normal_form(date_time.time);
            if (date_time.offset) their_text += normal_offset(date_time.offset->minutes);
        }
        const std::string our_text = normal_form(ours.source(), ours.kind());
        if (our_text != their_text) return differ(our_text, their_text);
        return {};
    }
    }
    return {};
}

// ---------------------------------------------------------------- excuses

/// toml++ looks at most this many characters ahead to tell what kind of number a literal is,
/// and refuses longer literals whose kind it cannot tell by then.
constexpr std::size_t their_scan_window = 126;

/// Where a date-time literal's fraction starts and how many digits it has.
std::size_t fraction_digits(std::string_view literal) {
    const std::size_t dot = literal.find('.');
    if (dot == std::string_view::npos) return 0;
    std::size_t end = dot + 1;
    while (end < literal.size() && literal[end] >= '0' && literal[end] <= '9') ++end;
    return end - dot - 1;
}

/// Whether a time or date-time literal has 60 in its seconds.
bool leap_second(std::string_view literal, Kind kind) {
    const std::size_t at = kind == Kind::local_time ? 0 : 11;
    return literal.size() >= at + 8 && literal[at + 5] == ':' && literal.substr(at + 6, 2) == "60";
}

/// A literal of ours that toml++ may refuse by design, and what to write in its place.
std::optional<Verdict> excused_literal(const Value& value, std::string_view text) {
    const qarv::ByteSpan span = value.span();
    const std::string_view literal = text.substr(span.start, span.end - span.start);
    const auto replace = [&](std::string replacement) {
        return Verdict{Verdict::retry, {span.start, span.end, std::move(replacement)}};
    };
    switch (value.kind()) {
    case Kind::integer:
        if (!value.integer().fits_int64()) return replace("0");
        if (literal.size() > their_scan_window) return replace(value.integer().decimal());
        return std::nullopt;
    case Kind::floating:
        if (literal.size() > their_scan_window) return replace(float_literal(value.floating()));
        return std::nullopt;
    case Kind::offset_datetime:
    case Kind::local_datetime:
    case Kind::local_time:
        if (fraction_digits(literal) > 64 || leap_second(literal, value.kind())) {
            std::string normal = normal_form(literal, value.kind());
            const std::size_t seconds = normal.find(':') + 4;
            if (normal.compare(seconds, 2, "60") == 0) normal.replace(seconds, 2, "59");
            return replace(std::move(normal));
        }
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

/// The first verdict that `judge` gives on a scalar of our tree, if any.
template <class Judge>
std::optional<Verdict> first_scalar_verdict(const Document& document, Judge judge) {
    std::vector<Value> pending{document.root()};
    while (!pending.empty()) {
        const Value value = pending.back();
        pending.pop_back();
        if (value.is_table()) {
            for (const qarv::toml::Entry& entry : value.entries()) pending.push_back(entry.value);
        } else if (value.is_array()) {
            for (const Value& element : value.elements()) pending.push_back(element);
        } else if (auto verdict = judge(value)) {
            return verdict;
        }
    }
    return std::nullopt;
}

/// We accepted and toml++ refused at `offset`: excused only where a literal of ours that toml++
/// cannot hold covers that offset.
Verdict excuse_their_refusal(const Document& document, std::string_view text, std::size_t offset) {
    const auto verdict = first_scalar_verdict(document, [&](const Value& value) -> std::optional<Verdict> {
        const qarv::ByteSpan span = value.span();
        if (offset < span.start || offset > span.end) return std::nullopt;
        return excused_literal(value, text);
    });
    return verdict ? *verdict : Verdict{Verdict::fault};
}

/// Both accepted but the trees differ: excused only where toml++, after a line-ending backslash,
/// also trims the non-ASCII spaces that it counts as white space (U+00A0, U+3000, U+FEFF, ...),
/// which TOML keeps as text. Writing such a character as a \u escape keeps our reading of it and
/// stops toml++ trimming it.
Verdict excuse_difference(const Document& document, std::string_view text) {
    const auto verdict = first_scalar_verdict(document, [&](const Value& value) -> std::optional<Verdict> {
        const qarv::ByteSpan span = value.span();
        const std::string_view literal = text.substr(span.start, span.end - span.start);
        if (value.kind() != Kind::string || !literal.starts_with("\"\"\"")) return std::nullopt;
        bool trimming = false, escaped = false;
        for (std::size_t at = 3; at < literal.size();) {
            const std::size_t start = at;
            const char32_t c = qarv::utf8::next_character(literal, at);
            if (escaped) {
                escaped = false;
                trimming = c == ' ' || c == '\t' || c == '\r' || c == '\n';
            } else if (c == '\\') {
                escaped = true;
                trimming = false;
            } else if (trimming && toml::impl::is_non_ascii_horizontal_whitespace(c)) {
                char escape[16];
                std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
                return Verdict{Verdict::retry, {span.start + start, span.start + at, escape}};
            } else if (!(c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
                trimming = false;
            }
        }
        return std::nullopt;
    });
    return verdict ? *verdict : Verdict{Verdict::fault};
}

bool is_ascii_bare(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

/// The run of characters around `offset` that toml++'s draft syntax may take for a bare key, when
/// the character at `offset` is one that TOML 1.1 does not allow there (non-ASCII or `+`).
std::optional<Rewrite> draft_bare_key(std::string_view text, std::size_t offset) {
    const auto in_run = [&](std::size_t at) {
        return is_ascii_bare(text[at]) || text[at] == '+' || static_cast<unsigned char>(text[at]) >= 0x80;
    };
    if (offset >= text.size() || is_ascii_bare(text[offset]) || !in_run(offset)) return std::nullopt;
    // A leading byte order mark is no part of the text for either reader.
    const std::size_t first = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    std::size_t start = offset, end = offset;
    while (start > first && in_run(start - 1)) --start;
    while (end < text.size() && in_run(end)) ++end;
    const std::string_view run = text.substr(start, end - start);
    return Rewrite{start, end, '"' + std::string(run) + '"'};
}

/// toml++ accepted and we refused at `offset`: excused only where a draft construct that toml++
/// read covers that offset (a bare key that toml++'s tree holds, a hexadecimal float), or where
/// we refused for nesting and toml++'s tree does nest deeper than our limit.
Verdict excuse_our_refusal(const toml::table& root, std::string_view text, std::size_t offset, bool nesting) {
    // Quoting the key keeps its text. toml++'s tree holds each key as first written, perhaps
    // quoted, so the key is matched by its text rather than by its position.
    const std::optional<Rewrite> key = draft_bare_key(text, offset);
    const std::string_view key_text =
        key ? std::string_view(key->replacement).substr(1, key->replacement.size() - 2) : std::string_view();
    struct Pending {
        const toml::node* node;
        std::size_t depth;
    };
    std::vector<Pending> pending{{&root, 0}};
    bool too_deep = false;
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        if (depth > qarv::toml::max_nesting) too_deep = true;
        if (const toml::table* table = node->as_table()) {
            for (const auto& [name, child] : *table) {
                pending.push_back({&child, depth + 1});
                if (key && name.str() == key_text) return {Verdict::retry, *key};
            }
        } else if (const toml::array* array = node->as_array()) {
            for (const toml::node& child : *array) pending.push_back({&child, depth + 1});
        } else if (const auto* number = node->as_floating_point()) {
            const std::size_t start = byte_offset(text, number->source().begin);
            std::size_t at = start;
            if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
            // toml++'s draft hexadecimal floats take `0X` as well.
            if (at + 1 >= text.size() || text[at] != '0' || (text[at + 1] != 'x' && text[at + 1] != 'X')) continue;
            std::size_t end = at + 2;
            while (end < text.size() && (std::isxdigit(static_cast<unsigned char>(text[end])) ||
                                         std::strchr("._+-pP", text[end]) != nullptr))
                ++end;
            if (offset >= start && offset <= end)
                return {Verdict::retry, {start, end, float_literal(number->get())}};
        }
    }
    if (too_deep && nesting) return {Verdict::done};
    return {Verdict::fault};
}

// ---------------------------------------------------------------- one input

[[noreturn]] void disagreement(std::string_view text, const std::string& ours, const std::string& theirs) {
    std::fprintf(stderr, "\n==== readers disagree on %zu bytes:\n%.*s\n==== ours: %s\n==== toml++: %s\n", text.size(),
                 static_cast<int>(text.size()), text.data(), ours.c_str(), theirs.c_str());
    std::fflush(stderr);
    __builtin_trap();
}

std::string describe(const toml::parse_error& error, std::string_view text) {
    const toml::source_position at = error.source().begin;
    return "refused at line " + std::to_string(at.line) + ", column " + std::to_string(at.column) + " (byte " +
           std::to_string(byte_offset(text, at)) + "): " + std::string(error.description());
}

std::string describe(const qarv::TomlError& error) {
    std::string out = "refused";
    if (error.span) out += " at byte " + std::to_string(error.span->start);
    return out + ": " + error.message;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    // Loading refuses text that is not UTF-8 before parsing it.
    if (!qarv::utf8::is_valid(text)) return -1;

    // Each retry takes one excused construct out, so the rounds end; the bound only guards that.
    for (int round = 0; round < 256; ++round) {
        auto ours = Document::parse(std::make_shared<const std::string>(text));
        toml::parse_result theirs = toml::parse(std::string_view(text));
        Verdict verdict{Verdict::fault};
        if (ours && theirs) {
            const std::string found = difference(ours.value().root(), theirs.table(), "(root)");
            if (found.empty()) return 0;
            verdict = excuse_difference(ours.value(), text);
            if (verdict.action == Verdict::fault) disagreement(text, qarv::toml::toml_test_json(ours.value()), found);
        } else if (!ours && !theirs) {
            return 0;
        } else if (ours) {
            // toml++ nests at most TOML_MAX_NESTED_VALUES deep, fewer levels than we take.
            if (theirs.error().description().find("TOML_MAX_NESTED_VALUES") != std::string_view::npos) return 0;
            verdict = excuse_their_refusal(ours.value(), text, byte_offset(text, theirs.error().source().begin));
            if (verdict.action == Verdict::fault)
                disagreement(text, "accepted: " + qarv::toml::toml_test_json(ours.value()),
                             describe(theirs.error(), text));
        } else {
            const std::size_t offset = ours.error().span ? ours.error().span->start : 0;
            const bool nesting =
                ours.error().message == "nesting deeper than " + std::to_string(qarv::toml::max_nesting) + " levels";
            verdict = excuse_our_refusal(theirs.table(), text, offset, nesting);
            if (verdict.action == Verdict::fault) disagreement(text, describe(ours.error()), "accepted");
        }
        if (verdict.action == Verdict::done) return 0;
        const Rewrite& rewrite = verdict.rewrite;
        text.replace(rewrite.start, rewrite.end - rewrite.start, rewrite.replacement);
    }
    return 0;
}
