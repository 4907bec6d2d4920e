// Double-quoted text with JSON escapes, for summary cells and error messages alike.
#pragma once

#include <string>
#include <string_view>

namespace qarv {

/// Appends `text` in double quotes: quote and backslash escaped, \b \t \n \f \r for those
/// controls, \u00XX for the other characters below U+0020, everything else as it is.
void append_quoted(std::string& out, std::string_view text);

} // namespace qarv
