// The bodies of the two exported functions, entered once the path argument is taken.
#pragma once

#include <optional>
#include <string>

#include "python/run_error.hpp"

namespace qarv {

/// `rust_convert`: loads the file and runs the conversion on a new toolkit object.
std::optional<ConversionError> run_conversion(const std::string& path);

/// `rust_explain`: loads the file and prints the configuration summary to file descriptor 1.
std::optional<ConversionError> explain_configuration(const std::string& path);

/// Loads the file and writes the summary to `descriptor`. A failed write ends the summary with
/// the system's error number in `write_error` (0 otherwise); what was written stays written.
std::optional<ConversionError> write_summary_to(int descriptor, const std::string& path, int& write_error);

} // namespace qarv
