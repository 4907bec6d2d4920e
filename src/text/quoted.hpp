// Double-quoted text with JSON escapes, for summary cells and error messages alike.
#pragma once

#include <string>
#include <string_view>

namespace qarv {

/// Appends `text` in double quotes: quote and backslash escaped, \b \t \n \f \r for those
/// controls, \u00XX for the other characters below U+0020 and for DEL and the C1 controls
/// (U+007F..U+009F), so that quoted text never reaches a terminal as a control sequence;
/// everything else as it is.
void append_quoted(std::string& out, std::string_view text);

/// Appends `text` as a JSON string: quote and backslash escaped, \b \t \n \f \r for those
/// controls, \u00XX for the other characters below U+0020, everything else as it is. For text
/// that is shown through a console table, which escapes what controls remain itself.
void append_json_string(std::string& out, std::string_view text);

} // namespace qarv
