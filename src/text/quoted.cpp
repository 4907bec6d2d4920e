// Double-quoted text with JSON escapes.
#include "text/quoted.hpp"

namespace qarv {
namespace {

void append_unicode_escape(std::string& out, unsigned code) {
    static constexpr char hex[] = "0123456789abcdef";
    out += "\\u00";
    out += hex[code >> 4];
    out += hex[code & 0x0F];
}

/// Bytes written as they are: no quote, backslash or C0 control and, when `c1` is set, no DEL and
/// no 0xC2, which leads the C1 controls.
template <bool c1>
bool plain_byte(unsigned char c) {
    return c >= 0x20 && c != '"' && c != '\\' && (!c1 || (c != 0x7F && c != 0xC2));
}

/// Quotes `text` with the JSON escapes, and with `c1` also DEL and the C1 controls escaped.
template <bool c1>
void append_escaped(std::string& out, std::string_view text) {
    out += '"';
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t run = at;
        while (run < text.size() && plain_byte<c1>(static_cast<unsigned char>(text[run]))) ++run;
        out.append(text, at, run - at);
        if (run == text.size()) break;
        at = run + 1;
        const auto c = static_cast<unsigned char>(text[run]);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\f': out += "\\f"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c != 0xC2) {
                append_unicode_escape(out, c);
            } else if (at < text.size() && static_cast<unsigned char>(text[at]) >= 0x80 &&
                       static_cast<unsigned char>(text[at]) <= 0x9F) {
                // U+0080..U+009F, the C1 controls, are C2 80..C2 9F in UTF-8.
                append_unicode_escape(out, static_cast<unsigned char>(text[at++]));
            } else {
                out += text[run];
            }
        }
    }
    out += '"';
}

} // namespace

void append_quoted(std::string& out, std::string_view text) { append_escaped<true>(out, text); }

void append_json_string(std::string& out, std::string_view text) { append_escaped<false>(out, text); }

} // namespace qarv
