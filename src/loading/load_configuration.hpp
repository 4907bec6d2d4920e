// Reading a configuration file and turning its text into a `Configuration`.
#pragma once

#include <string>
#include <string_view>

#include "configuration/records.hpp"
#include "loading/toml_error.hpp"
#include "result.hpp"

namespace qarv {

/// Why a configuration could not be loaded; `message` is the complete text the caller sees.
struct LoadError {
    enum class Kind { file_read, configuration };
    Kind kind;
    std::string message;
};

/// The whole file at `path` as UTF-8 text, or a file-read error: the system's text with
/// " (os error N)", a NUL in the path, or text that is not UTF-8.
Result<std::string, LoadError> read_configuration_text(const std::string& path);

/// Parses `text` as TOML and maps it onto a `Configuration`; errors carry `text` as their source.
Result<Configuration, TomlError> parse_configuration(std::string text);

/// Reads, parses and validates the file at `path`. Configuration errors come rendered.
Result<Configuration, LoadError> load_configuration(const std::string& path);

} // namespace qarv
