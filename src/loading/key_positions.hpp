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

/// Every kept value and every table of `document` in file order, nested ones included.
std::vector<KeyPosition> key_positions(const toml::Document& document);

/// A loaded configuration with what a pre-flight check needs to point into its file.
struct ConfigurationDetails {
    Configuration configuration;
    std::vector<KeyPosition> positions;
    std::vector<TomlError> warnings; ///< the ignored keys and tables
    std::shared_ptr<const std::string> text;
};

/// Parses and maps `text` once; the error is the one loading gives.
Result<ConfigurationDetails, TomlError> configuration_details(std::string text);

} // namespace qarv
