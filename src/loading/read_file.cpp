// Reading the configuration file from disk, up to a fixed size.
#include <cerrno>
#include <cstring>
#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "loading/load_configuration.hpp"
#include "text/utf8.hpp"

namespace qarv {
namespace {

LoadError os_error(int number) {
    return {LoadError::Kind::file_read,
            std::string(std::strerror(number)) + " (os error " + std::to_string(number) + ")"};
}

LoadError too_large() {
    return {LoadError::Kind::file_read,
            "file is larger than " + std::to_string(max_file_size >> 20) + " MiB, the most a configuration file may hold"};
}

/// Closes the descriptor on every path out of the read.
struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

} // namespace

Result<std::string, LoadError> read_configuration_text(const std::string& path, const StopCheck& stop) {
    if (path.find('\0') != std::string::npos)
        return LoadError{LoadError::Kind::file_read, "file name contained an unexpected NUL byte"};

    const auto interrupted = [&] { return stop && stop(); };
    int fd;
    while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR)
        if (interrupted()) return LoadError{LoadError::Kind::interrupted, {}};
    if (fd < 0) return os_error(errno);
    const FileDescriptor file{fd};

    std::size_t expected = 0;
    struct stat info {};
    // The size is only a hint for the buffer; files that lie about it (procfs, pipes) still read whole.
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        expected = static_cast<std::size_t>(info.st_size);
    if (expected > max_file_size) return too_large();

    // One byte beyond the expected size lets the read that finds the end fit without growing.
    // Nothing past the cap and one byte is read: that byte tells a file at the cap from a larger one.
    constexpr std::size_t limit = max_file_size + 1;
    std::string text(std::min(std::max<std::size_t>(expected + 1, 4096), limit), '\0');
    std::size_t filled = 0;
    for (;;) {
        if (filled == text.size()) {
            if (filled == limit) return too_large();
            text.resize(std::min(text.size() * 2, limit));
        }
        const ssize_t got = ::read(fd, text.data() + filled, text.size() - filled);
        if (got < 0) {
            if (errno == EINTR) {
                if (interrupted()) return LoadError{LoadError::Kind::interrupted, {}};
                continue;
            }
            return os_error(errno);
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    text.resize(filled);

    if (!utf8::is_valid(text))
        return LoadError{LoadError::Kind::file_read, "stream did not contain valid UTF-8"};
    return text;
}

} // namespace qarv
