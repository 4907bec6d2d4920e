// A TOML document in the JSON encoding of the toml-test suite, for comparing readers.
#pragma once

#include <string>

#include "loading/toml_document.hpp"

namespace qarv::toml {

/// Tables as objects, arrays as arrays, every scalar as {"type": ..., "value": text} with the
/// suite's type names; date-times use `T`, upper-case `Z` and explicit seconds.
std::string toml_test_json(const Document& document);

} // namespace qarv::toml
