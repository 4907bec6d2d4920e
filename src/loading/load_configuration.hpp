// Reading a configuration file and turning its text into a `Configuration`.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "configuration/records.hpp"
#include "loading/parse_configuration.hpp"
#include "loading/toml_document.hpp"
#include "files/file_reader.hpp"
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
    std::optional<TomlError> fault{}; ///< the `configuration` kind's error, which `message` renders
};

/// The `configuration` error that carries `error` and its report.
LoadError configuration_error(TomlError error);

/// Asked each time a system call of the read returns EINTR: true ends the read as `interrupted`,
/// false retries the call. An empty check always retries.
using StopCheck = files::StopCheck;

/// The largest configuration file read. Real ones are a few kilobytes; the cap stops endless or
/// huge inputs (a FIFO, /dev/zero) from filling memory.
inline constexpr std::size_t max_file_size = std::size_t{256} << 20;

/// The whole file at `path` as UTF-8 text, or a file-read error: the system's text with
/// " (os error N)", a NUL in the path, text that is not UTF-8, or a file beyond
/// `max_file_size`, of which no more than one byte past the cap is read.
Result<std::string, LoadError> read_configuration_text(const std::string& path, const StopCheck& stop = {});

/// Reads, parses and validates the file at `path`, with `overrides` (`SECTION.KEY=VALUE` texts)
/// applied over it. Configuration errors come rendered, with the error value beside the text.
Result<Configuration, LoadError> load_configuration(const std::string& path,
                                                    const std::vector<std::string>& overrides = {},
                                                    const StopCheck& stop = {});

} // namespace qarv
