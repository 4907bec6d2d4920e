// UTF-8 validation, character counting and lossy decoding, shared by loading, reports and tables.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qarv::utf8 {

/// Length of the valid UTF-8 sequence that starts at `text[at]`, or 0 when none starts there.
/// Follows the Unicode definition: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t sequence_length(std::string_view text, std::size_t at) noexcept;

/// Whether all of `text` is well-formed UTF-8.
bool is_valid(std::string_view text) noexcept;

/// Number of Unicode scalar values in `text`, which must be valid UTF-8.
std::size_t count_characters(std::string_view text) noexcept;

/// `bytes` decoded with each maximal ill-formed subpart replaced by U+FFFD, so that the three
/// bytes that "surrogatepass" makes of a lone surrogate become three replacement characters.
std::string decode_lossy(std::string_view bytes);

/// Decodes the scalar value at `text[at]` (valid UTF-8 assumed) and advances `at` past it.
char32_t next_character(std::string_view text, std::size_t& at) noexcept;

/// Appends `c` encoded as UTF-8; `c` must be a Unicode scalar value.
void append(std::string& out, char32_t c);

} // namespace qarv::utf8
