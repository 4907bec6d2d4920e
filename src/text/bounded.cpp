// Names and values from files cut at the bound that messages quote them to.
#include "text/bounded.hpp"

#include <algorithm>

#include "text/utf8.hpp"

namespace qarv {
namespace {

/// Byte offsets of the characters of `text`, counted as its columns are: characters of valid
/// UTF-8, else bytes. Walks only as far as `limit` characters, so a huge text costs little more
/// than its validation.
class Characters {
public:
    explicit Characters(std::string_view text) : text_(text), valid_(utf8::is_valid(text)) {}

    /// The offset of character `index` (the text's size past its end), walking on from the last asked.
    std::size_t offset(std::size_t index) {
        if (!valid_) return std::min(index, text_.size());
        while (index_ < index && at_ < text_.size()) {
            at_ += std::max<std::size_t>(1, utf8::sequence_length(text_, at_));
            ++index_;
        }
        return at_;
    }

    std::size_t count() const { return valid_ ? utf8::count_characters(text_) : text_.size(); }

private:
    std::string_view text_;
    bool valid_;
    std::size_t index_ = 0, at_ = 0;
};

} // namespace

BoundedText bounded(std::string_view text) noexcept {
    if (text.size() <= quoted_characters) return {text, utf8::is_valid(text) ? utf8::count_characters(text) : text.size()};
    Characters characters(text);
    const std::size_t count = characters.count();
    if (count <= quoted_characters) return {text, count};
    return {text.substr(0, characters.offset(quoted_characters)), count, true};
}

std::string length_note(const BoundedText& text) {
    if (!text.cut) return {};
    std::string digits = std::to_string(text.characters), grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return " (" + grouped + " characters)";
}

std::string quoted_name(std::string_view text) {
    const BoundedText cut = bounded(text);
    std::string out = "`";
    out += cut.shown;
    if (cut.cut) out += ellipsis;
    out += '`';
    out += length_note(cut);
    return out;
}

LineWindow line_window(std::string_view line, std::size_t column, std::size_t carets) {
    if (line.size() <= quoted_characters) return {std::string(line), column, carets};
    Characters characters(line);
    const std::size_t width = characters.count();
    if (width <= quoted_characters) return {std::string(line), column, carets};
    // The column's character about the middle, unless the line's start or end is nearer.
    const std::size_t at = column > 0 ? column - 1 : 0;
    const std::size_t first = std::min(at > quoted_characters / 2 ? at - quoted_characters / 2 : 0, width - quoted_characters);
    const std::size_t last = first + quoted_characters;
    LineWindow window;
    if (first > 0) window.text += ellipsis;
    const std::size_t from = characters.offset(first);
    window.text += line.substr(from, characters.offset(last) - from);
    if (last < width) window.text += ellipsis;
    window.column = at - first + 1 + (first > 0 ? 1 : 0);
    window.carets = last < width ? std::max<std::size_t>(1, std::min(carets, last - at)) : carets;
    return window;
}

} // namespace qarv
