// The configuration summary: the body of `rust_explain`, and its writer to standard output.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "python/bodies.hpp"
#include "section/section_report.hpp"

namespace qarv {
namespace {

[[noreturn]] void write_failed(int error) {
    throw InternalFailure("failed printing to stdout: " + std::string(std::strerror(error)) + " (os error " +
                          std::to_string(error) + ")");
}

/// Waits until standard output, left in non-blocking mode by whoever set it up, takes more text.
/// False when a signal handler raised meanwhile.
bool wait_writable() {
    pollfd descriptor{STDOUT_FILENO, POLLOUT, 0};
    while (::poll(&descriptor, 1, -1) < 0) {
        if (errno != EINTR) write_failed(errno);
        if (signal_handler_raised()) return false;
    }
    // An error or hang-up shows in the next write, with its own error number.
    return true;
}

/// Writes to file descriptor 1 itself: the summary must reach the process's standard output even
/// when Python has replaced `sys.stdout`, and nothing is buffered, so whatever was written before
/// a failure stays written. False when a signal handler raised while the write waited (a full pipe,
/// a stopped terminal): the summary stops there with that exception.
bool print(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
        if (written >= 0) {
            // A signal that arrives once part of the text is written cuts the write short instead
            // of failing it with EINTR.
            if (static_cast<std::size_t>(written) < text.size() && signal_handler_raised()) return false;
            text.remove_prefix(static_cast<std::size_t>(written));
        } else if (errno == EINTR) {
            if (signal_handler_raised()) return false;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!wait_writable()) return false;
        } else {
            write_failed(errno);
        }
    }
    return true;
}

} // namespace

std::optional<ConversionError> explain_configuration(const std::string& path) {
    PyResult<Configuration> loaded = load_or_stop(path);
    if (!loaded) return std::move(loaded).error();

    if (const std::size_t size = summary_size(loaded.value()); size > max_summary_size)
        return ConversionError{ConversionError::Kind::configuration,
                               "the summary would take " + std::to_string(size) + " bytes, more than its cap of " +
                                   std::to_string(max_summary_size >> 20) + " MiB; nothing was written",
                               PyRef()};
    if (!summary_pieces(loaded.value(), print)) return ConversionError::interrupted();
    return std::nullopt;
}

} // namespace qarv
