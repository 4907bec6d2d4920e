// The bodies of the two exported functions, entered once the path argument is taken.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "python/run_error.hpp"

namespace qarv {

/// `rust_convert`: loads the file, with `overrides` (`SECTION.KEY=VALUE` texts) applied over it,
/// and runs the conversion on a new toolkit object.
std::optional<ConversionError> run_conversion(const std::string& path, const std::vector<std::string>& overrides = {});

/// `rust_explain`: loads the file and prints the configuration summary to file descriptor 1.
std::optional<ConversionError> explain_configuration(const std::string& path);

/// Loads the file and writes the summary to `descriptor`. A failed write ends the summary with
/// the system's error number in `write_error` (0 otherwise); what was written stays written.
/// With `changed_only`, only the rows whose value differs from the default are written.
std::optional<ConversionError> write_summary_to(int descriptor, const std::string& path,
                                                const std::vector<std::string>& overrides, int& write_error,
                                                bool changed_only = false);

} // namespace qarv
