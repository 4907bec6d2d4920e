// Names and values from files as messages quote them: cut at a bound, with their full length said.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qarv {

/// How many characters of a name or value from a file a message quotes, and how many characters
/// of a long line an excerpt shows: a file of any size gives messages of a size that can be read.
inline constexpr std::size_t quoted_characters = 200;

/// What stands for the part of a text a message leaves out.
inline constexpr std::string_view ellipsis = "\u2026";

/// The first `quoted_characters` characters of `text` (bytes where it is not UTF-8) and how many
/// there are in all.
struct BoundedText {
    std::string_view shown;
    std::size_t characters = 0;
    bool cut = false;
};

/// `text` cut as messages quote it.
BoundedText bounded(std::string_view text) noexcept;

/// " (40,000,000 characters)" for a text that was cut, else nothing.
std::string length_note(const BoundedText& text);

/// `text` in backquotes as a message names it: "`name`", or for a long one "`nam…` (N characters)".
std::string quoted_name(std::string_view text);

/// A window of at most `quoted_characters` characters of a long line, placed so that it shows the
/// character at a column: which characters, and where the column and its carets fall in it.
struct LineWindow {
    std::string text;          ///< the shown part, with an ellipsis on each side that was cut
    std::size_t column = 1;    ///< 1-based, in the characters of `text`
    std::size_t carets = 1;    ///< cut at the window's end
};

/// The window of `line` (as wide as its own columns count: characters, or bytes when it is not
/// UTF-8) around 1-based `column`, with `carets` marks from there; a line within the bound is
/// shown whole and unchanged.
LineWindow line_window(std::string_view line, std::size_t column, std::size_t carets);

} // namespace qarv
