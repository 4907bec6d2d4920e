// UTF-8 validation, character counting and lossy decoding.
#include "text/utf8.hpp"

namespace qarv::utf8 {
namespace {

bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

/// Length of the longest prefix at `text[at]` that could still begin a valid sequence (at least 1):
/// the "maximal subpart" that one replacement character stands for.
std::size_t maximal_subpart(std::string_view text, std::size_t at) noexcept {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t expected = 0;
    unsigned char low = 0x80, high = 0xBF; // allowed range of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) expected = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        expected = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        expected = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 1;
    }
    std::size_t length = 1;
    while (length < expected && at + length < text.size()) {
        const auto byte = static_cast<unsigned char>(text[at + length]);
        const bool fits = length == 1 ? (byte >= low && byte <= high) : is_continuation(byte);
        if (!fits) break;
        ++length;
    }
    return length;
}

} // namespace

std::size_t sequence_length(std::string_view text, std::size_t at) noexcept {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) return 1;
    const std::size_t subpart = maximal_subpart(text, at);
    const std::size_t expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    return lead >= 0xC2 && subpart == expected ? expected : 0;
}

bool is_valid(std::string_view text) noexcept {
    std::size_t at = 0;
    while (at < text.size()) {
        // ASCII runs dominate configuration files; skip them eight bytes at a time.
        while (at + 8 <= text.size()) {
            unsigned long long word = 0;
            for (std::size_t i = 0; i < 8; ++i)
                word |= static_cast<unsigned long long>(static_cast<unsigned char>(text[at + i]));
            if (word & 0x80) break;
            at += 8;
        }
        if (at >= text.size()) break;
        const std::size_t length = sequence_length(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::size_t count_characters(std::string_view text) noexcept {
    std::size_t count = 0;
    for (char byte : text)
        if (!is_continuation(static_cast<unsigned char>(byte))) ++count;
    return count;
}

std::string decode_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t length = sequence_length(bytes, at);
        if (length > 0) {
            out.append(bytes.substr(at, length));
            at += length;
        } else {
            out.append("\xEF\xBF\xBD");
            at += maximal_subpart(bytes, at);
        }
    }
    return out;
}

char32_t next_character(std::string_view text, std::size_t& at) noexcept {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        ++at;
        return lead;
    }
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    char32_t c = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length && at + i < text.size(); ++i)
        c = (c << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
    at += length;
    return c;
}

void append(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

} // namespace qarv::utf8
