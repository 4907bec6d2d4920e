// The keys and tables of a configuration file that loading passes over without a word.
#pragma once

#include <string>
#include <vector>

#include "configuration/records.hpp"
#include "loading/toml_document.hpp"
#include "loading/toml_error.hpp"
#include "result.hpp"

namespace qarv {

/// A loaded configuration with one warning per key or table that it ignores, in file order, each
/// pointing at the key and naming the nearest known key when one is close.
struct CheckedConfiguration {
    Configuration configuration;
    std::vector<TomlError> warnings;
};

/// How many ignored keys and tables get a warning of their own; the rest are counted.
inline constexpr std::size_t max_named_ignored = 20;

/// Warnings about the root keys that are not sections and the section keys that are not fields:
/// the first `max_named_ignored` in file order, each at its key, and then, when there are more,
/// one warning without a position that counts them all. A file of a million stray keys gets a
/// screenful, not a million warnings.
std::vector<TomlError> ignored_entries(const toml::Document& document);

/// Parses and maps `text` once, and lists what it ignores; the error is the one loading gives.
Result<CheckedConfiguration, TomlError> check_configuration(std::string text);

/// `check_configuration` with `overrides` (`SECTION.KEY=VALUE` texts) applied over the file; the
/// warnings are about the file alone.
Result<CheckedConfiguration, TomlError> check_configuration(std::string text, const std::vector<std::string>& overrides);

/// The keys the fields of the section `name` read, its tag's included; empty for no section.
std::vector<std::string_view> known_names(std::string_view name);

/// The known name closest to `name` (same letters in another case, or a few edits away); empty
/// when none is close enough to be a likely typo.
std::string nearest_name(std::string_view name, const std::vector<std::string_view>& known);

} // namespace qarv
