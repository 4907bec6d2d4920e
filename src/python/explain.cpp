// The configuration summary: the body of `rust_explain`, and its writer to a file descriptor.
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

/// How writing to the descriptor went: all taken, stopped by a signal handler that raised, or
/// failed with the system's error number in `error`.
struct Written {
    enum class Outcome { done, interrupted, failed };
    Outcome outcome = Outcome::done;
    int error = 0;
};

/// Waits until `descriptor`, left in non-blocking mode by whoever set it up, takes more text.
Written wait_writable(int descriptor) {
    pollfd polled{descriptor, POLLOUT, 0};
    while (::poll(&polled, 1, -1) < 0) {
        if (errno != EINTR) return {Written::Outcome::failed, errno};
        if (signal_handler_raised()) return {Written::Outcome::interrupted};
    }
    // An error or hang-up shows in the next write, with its own error number.
    return {};
}

/// Writes to the descriptor itself: the summary must reach the process's standard output even
/// when Python has replaced `sys.stdout`, and nothing is buffered, so whatever was written before
/// a failure stays written. A signal handler that raised while the write waited (a full pipe, a
/// stopped terminal) stops the summary there with that exception.
Written write_all(int descriptor, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(descriptor, text.data(), text.size());
        if (written >= 0) {
            // A signal that arrives once part of the text is written cuts the write short instead
            // of failing it with EINTR.
            if (static_cast<std::size_t>(written) < text.size() && signal_handler_raised())
                return {Written::Outcome::interrupted};
            text.remove_prefix(static_cast<std::size_t>(written));
        } else if (errno == EINTR) {
            if (signal_handler_raised()) return {Written::Outcome::interrupted};
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (Written waited = wait_writable(descriptor); waited.outcome != Written::Outcome::done) return waited;
        } else {
            return {Written::Outcome::failed, errno};
        }
    }
    return {};
}

} // namespace

std::optional<ConversionError> write_summary_to(int descriptor, const std::string& path,
                                                const std::vector<std::string>& overrides, int& write_error,
                                                bool changed_only) {
    write_error = 0;
    PyResult<Configuration> loaded = load_or_stop(path, overrides);
    if (!loaded) return std::move(loaded).error();

    if (const std::size_t size = summary_size(loaded.value(), changed_only); size > max_summary_size)
        return ConversionError{ConversionError::Kind::summary_cap,
                               "the summary would take " + std::to_string(size) + " bytes, more than its cap of " +
                                   std::to_string(max_summary_size >> 20) + " MiB; nothing was written",
                               PyRef()};
    bool interrupted = false;
    summary_pieces(loaded.value(), [&](std::string_view piece) {
        const Written written = write_all(descriptor, piece);
        interrupted = written.outcome == Written::Outcome::interrupted;
        write_error = written.error;
        return written.outcome == Written::Outcome::done;
    }, changed_only);
    if (interrupted) return ConversionError::interrupted();
    return std::nullopt;
}

std::optional<ConversionError> explain_configuration(const std::string& path) {
    int write_error = 0;
    std::optional<ConversionError> error = write_summary_to(STDOUT_FILENO, path, {}, write_error);
    if (write_error != 0)
        throw InternalFailure("failed printing to stdout: " + std::string(std::strerror(write_error)) +
                              " (os error " + std::to_string(write_error) + ")");
    return error;
}

} // namespace qarv
