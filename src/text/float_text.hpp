// Shortest round-trip text of doubles, in the two layouts that reports and summaries use.
#pragma once

#include <string>

namespace qarv {

/// Plain decimal form with the fewest digits that read back to `value`, keeping a ".0" on whole
/// numbers; "inf", "-inf" and "NaN" for non-finite values. Used where a report names a value.
std::string plain_float_text(double value);

/// Appends the JSON-style form for summary cells: plain decimal while the first significant
/// digit's decimal exponent lies in [-5, 15], else "d.ddde+N" / "de-N". `value` must be finite.
void append_json_float(std::string& out, double value);

} // namespace qarv
