// Compact JSON text, summary cell text and the equality behind "Set by User?".
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace qarv {

/// Compact JSON text with no spaces; floats in their shortest round-trip digits, non-finite
/// floats as null, non-ASCII characters as they are.
std::string compact_json(const nlohmann::json& value);

/// The text of a Value or Default cell: a string bare, anything else as compact JSON.
std::string cell_text(const nlohmann::json& value);

/// JSON equality in which numbers are equal only within one class (non-negative integer,
/// negative integer, float), whatever form the JSON library stored them in.
bool json_equal(const nlohmann::json& a, const nlohmann::json& b);

} // namespace qarv
