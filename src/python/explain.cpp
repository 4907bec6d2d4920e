// The configuration summary: the body of `rust_explain`.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "python/bodies.hpp"
#include "section/section_report.hpp"

namespace qarv {
namespace {

/// Writes to file descriptor 1 itself: the summary must reach the process's standard output even
/// when Python has replaced `sys.stdout`, and nothing is buffered, so whatever was written before
/// a failure stays written.
bool print(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            throw InternalFailure("failed printing to stdout: " + std::string(std::strerror(error)) +
                                  " (os error " + std::to_string(error) + ")");
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

std::optional<ConversionError> explain_configuration(const std::string& path) {
    auto loaded = load_configuration(path);
    if (!loaded) return ConversionError::from(std::move(loaded).error());

    summary_pieces(loaded.value(), print);
    return std::nullopt;
}

} // namespace qarv
