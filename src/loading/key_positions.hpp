// Where each key's value and each table header of a configuration file stands, by dotted key.
#pragma once

#include <string>
#include <vector>

#include "configuration/records.hpp"
#include "loading/toml_document.hpp"
#include "loading/toml_error.hpp"
#include "result.hpp"

namespace qarv {

/// One value or table of the file: `key` is the dotted path (`load.inputs`), an array element
/// adds its index in brackets (`load.inputs[1]`); a table's position is its header's.
struct KeyPosition {
    std::string key;
    bool table = false;
    TextPosition position;
};

/// How many elements of one array get positions of their own. A position costs a few hundred
/// bytes once it is a Python object; a long array's later elements are pointed at through the
/// array, so that a file of millions of elements costs no more than its values.
inline constexpr std::size_t max_element_positions = 1024;

/// Every kept value and every table of `document` in file order, nested ones included, with the
/// elements of each array up to `max_element_positions`.
std::vector<KeyPosition> key_positions(const toml::Document& document);

/// A loaded configuration with what a pre-flight check needs to point into its file.
struct ConfigurationDetails {
    Configuration configuration;
    std::vector<KeyPosition> positions;
    std::vector<TomlError> warnings; ///< the ignored keys and tables
    std::shared_ptr<const std::string> text;
};

/// Parses and maps `text` once, with `overrides` (`SECTION.KEY=VALUE` texts) over it as the
/// conversion applies them; the error is the one loading gives. The positions are the file's:
/// a key an override replaces has none there, so a check of it points at its table.
Result<ConfigurationDetails, TomlError> configuration_details(std::string text,
                                                              const std::vector<std::string>& overrides = {});

} // namespace qarv
