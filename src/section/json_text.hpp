// Compact JSON text of JSON values, with the float layout and quoting of summary cells.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace qarv {

/// Compact JSON text with no spaces; floats in their shortest round-trip digits, non-finite
/// floats as null, strings quoted by `append_quoted`.
std::string compact_json(const nlohmann::json& value);

} // namespace qarv
