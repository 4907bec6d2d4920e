// Reading a configuration file and turning its text into a `Configuration`.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "configuration/records.hpp"
#include "loading/toml_error.hpp"
#include "result.hpp"

namespace qarv {

/// Why a configuration could not be loaded; `message` is the complete text the caller sees.
struct LoadError {
    /// `interrupted`: a signal cut a wait short and the caller's `StopCheck` asked to stop; the
    /// message is empty, the caller holds the reason.
    enum class Kind { file_read, configuration, interrupted };
    Kind kind;
    std::string message;
};

/// Asked each time a system call of the read returns EINTR: true ends the read as `interrupted`,
/// false retries the call. An empty check always retries.
using StopCheck = std::function<bool()>;

/// The whole file at `path` as UTF-8 text, or a file-read error: the system's text with
/// " (os error N)", a NUL in the path, or text that is not UTF-8.
Result<std::string, LoadError> read_configuration_text(const std::string& path, const StopCheck& stop = {});

/// Parses `text` as TOML and maps it onto a `Configuration`; errors carry `text` as their source.
Result<Configuration, TomlError> parse_configuration(std::string text);

/// Reads, parses and validates the file at `path`. Configuration errors come rendered.
Result<Configuration, LoadError> load_configuration(const std::string& path, const StopCheck& stop = {});

} // namespace qarv
