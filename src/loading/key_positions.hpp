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

/// How many elements of one key's value, nested ones included, get positions of their own. A
/// position costs a few hundred bytes once it is a Python object; later elements are pointed at
/// through the key, so that a file of millions of elements costs no more than its text.
inline constexpr std::size_t max_element_positions = 1024;

/// How many values of one key (array elements at every depth) the checks get as objects. No model
/// takes more inputs, dimensions or channels than this; a key holding more is cut short here and
/// its full count kept beside it, so that a file of millions of elements is not copied value by
/// value into objects of many times its size.
inline constexpr std::size_t max_checked_values = 65536;

/// The sections' tables and the keys that configuration fields read, in file order, with the
/// elements of each key's value up to `max_element_positions`. Keys that loading ignores are left
/// out: their warnings carry their own positions, and a file of a million of them must not cost a
/// million positions.
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
