// The keys and tables of a configuration file that loading passes over without a word.
#pragma once

#include <string>
#include <vector>

#include "loading/toml_error.hpp"
#include "result.hpp"

namespace qarv {

/// One warning per key or table that the configuration ignores, in file order, each pointing at
/// the key and naming the nearest known key when one is close. A text that does not parse gives
/// the parser's error instead.
Result<std::vector<TomlError>, TomlError> find_ignored_entries(std::string text);

/// The known name closest to `name` (same letters in another case, or a few edits away); empty
/// when none is close enough to be a likely typo.
std::string nearest_name(std::string_view name, const std::vector<std::string_view>& known);

} // namespace qarv
