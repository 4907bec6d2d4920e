// Rendering of configuration errors as positioned reports.
#include "loading/toml_error.hpp"

#include <algorithm>
#include <string_view>
#include <vector>

#include "text/bounded.hpp"
#include "text/utf8.hpp"

namespace qarv {
namespace {

struct Location {
    std::size_t line_start = 0; ///< byte offset of the line that holds the span's start
    std::size_t line = 0;       ///< counted from 0
    std::size_t column = 0;     ///< in characters, counted from 0
};

/// Width in characters, or in bytes for text that is not UTF-8 on its own.
std::size_t width(std::string_view text) {
    return utf8::is_valid(text) ? utf8::count_characters(text) : text.size();
}

Location locate(std::string_view text, std::size_t start) {
    if (text.empty()) return {0, 0, start};
    const std::size_t p = std::min(start, text.size() - 1);
    Location at;
    const std::size_t last_feed = p == 0 ? std::string_view::npos : text.rfind('\n', p - 1);
    at.line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
    at.line = static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at.line_start), '\n'));
    // Characters before the span's start; a start inside a character falls back to bytes.
    at.column = width(text.substr(at.line_start, p - at.line_start));
    at.column += start - p; // a start past the end counts on past the last character
    return at;
}

} // namespace

namespace {

/// The line that holds `at`, without its line feed.
std::string_view line_of(std::string_view text, const Location& at) {
    const std::size_t line_end = std::min(text.find('\n', at.line_start), text.size());
    return at.line_start <= text.size() ? text.substr(at.line_start, line_end - at.line_start) : std::string_view{};
}

/// The position of `span`, whose start `at` locates, on a line `line_width` characters wide that
/// ends at `line_end`.
TextPosition position_at(std::string_view text, ByteSpan span, const Location& at, std::size_t line_width,
                         std::size_t line_end) {
    // Carets count characters, like the column, so that they stay under non-ASCII text; a span
    // reaching past its first line is cut at the line's end.
    const std::size_t room = line_width > at.column ? line_width - at.column : 0;
    std::size_t span_width = 0;
    if (span.end > span.start && span.start < text.size())
        span_width = width(text.substr(span.start, std::min(span.end, line_end) - span.start));
    return {at.line + 1, at.column + 1, std::max<std::size_t>(1, std::min(span_width, room))};
}

} // namespace

std::string_view fault_word(FaultKind kind) {
    switch (kind) {
    case FaultKind::syntax: return "syntax";
    case FaultKind::type: return "type";
    case FaultKind::value: return "value";
    case FaultKind::missing: return "missing";
    case FaultKind::variant: return "variant";
    case FaultKind::unknown: return "unknown";
    case FaultKind::override_shape: return "override";
    }
    return "syntax";
}

TextPosition position_of(std::string_view text, ByteSpan span) {
    const Location at = locate(text, span.start);
    const std::string_view line_text = line_of(text, at);
    return position_at(text, span, at, width(line_text), at.line_start + line_text.size());
}

std::vector<TextPosition> positions_of(std::string_view text, const std::vector<ByteSpan>& spans) {
    std::vector<TextPosition> out(spans.size());
    if (text.empty()) {
        for (std::size_t i = 0; i < spans.size(); ++i) out[i] = position_of(text, spans[i]);
        return out;
    }
    std::vector<std::size_t> order(spans.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::ranges::stable_sort(order, [&](std::size_t a, std::size_t b) { return spans[a].start < spans[b].start; });
    // One walk forward: line feeds are counted once, and a line's width and the width of its
    // text before each start are carried on from the previous start on the same line.
    Location at;
    std::size_t counted = 0;    // line feeds before this offset are in `at.line`
    std::size_t measured = 0;   // `characters` covers the line's text up to here
    std::size_t characters = 0;
    bool valid = true;          // that text is UTF-8
    std::size_t line_width = 0, line_end = 0;
    bool line_measured = false;
    for (const std::size_t i : order) {
        const ByteSpan span = spans[i];
        const std::size_t p = std::min(span.start, text.size() - 1);
        // Only up to the start: the line may run on for megabytes past it.
        const std::string_view before = text.substr(0, p);
        for (std::size_t feed = before.find('\n', counted); feed != std::string_view::npos;
             feed = before.find('\n', feed + 1)) {
            ++at.line;
            at.line_start = feed + 1;
            line_measured = false;
        }
        counted = std::max(counted, p);
        if (!line_measured) {
            const std::string_view line = line_of(text, at);
            line_width = width(line);
            line_end = at.line_start + line.size();
            measured = at.line_start;
            characters = 0;
            valid = true;
            line_measured = true;
        }
        // Starts fall on the first byte of a character, so the pieces are UTF-8 exactly when
        // the whole text before the start is.
        const std::string_view piece = text.substr(measured, p - measured);
        valid = valid && utf8::is_valid(piece);
        if (valid) characters += utf8::count_characters(piece);
        measured = p;
        at.column = (valid ? characters : p - at.line_start) + (span.start - p);
        out[i] = position_at(text, span, at, line_width, line_end);
    }
    return out;
}

std::string_view quoted_line(std::string_view text, ByteSpan span) {
    return line_of(text, locate(text, span.start));
}

std::string render(const TomlError& error, std::string_view heading) {
    if (!error.span || !error.source) {
        std::string out = error.message + "\n";
        if (!error.keys.empty()) {
            std::string path;
            for (std::size_t i = 0; i < error.keys.size(); ++i) {
                if (i > 0) path += '.';
                path += error.keys[i];
            }
            out += "in " + quoted_name(path) + "\n";
        }
        return out;
    }
    const TextPosition position = position_of(*error.source, *error.span);
    std::string out = std::string(heading) + " at line " + std::to_string(position.line) + ", column " +
                      std::to_string(position.column) + "\n";
    out += excerpt(*error.source, *error.span);
    out += error.message + "\n";
    return out;
}

std::string excerpt(std::string_view text, ByteSpan span) {
    const TextPosition position = position_of(text, span);
    const std::string line_number = std::to_string(position.line);
    const std::string gutter(line_number.size() + 1, ' ');
    std::string out = gutter + "|\n";
    // A long line is shown as a window around the span; the heading keeps the true column.
    const LineWindow shown = line_window(quoted_line(text, span), position.column, position.carets);
    out += line_number + " | ";
    out += shown.text;
    out += "\n";
    out += gutter + "|" + std::string(shown.column, ' ') + std::string(shown.carets, '^') + "\n";
    return out;
}

} // namespace qarv
