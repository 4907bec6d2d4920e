// Opening and reading the files a user names, with the failures told apart as values.
#include "files/file_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qarv::files {
namespace {

FileError os_error(int number) {
    return FileError{FileError::Kind::os, std::string(std::strerror(number)) + " (os error " + std::to_string(number) + ")",
                     number};
}

FileError interrupted() { return FileError{FileError::Kind::interrupted, "interrupted", EINTR}; }

FileError shrank(std::uint64_t now, std::uint64_t before) {
    return FileError{FileError::Kind::shrank,
                     "the file was cut short while it was read: it ends at byte " + std::to_string(now) +
                         " but held " + std::to_string(before) + " bytes when opened",
                     0};
}

} // namespace

const char* non_regular_kind(mode_t mode) {
    if (S_ISREG(mode)) return nullptr;
    if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISDIR(mode)) return "a directory";
    return "not a file of a known kind";
}

namespace {

FileError not_regular(mode_t mode) {
    return FileError{FileError::Kind::not_regular, std::string("it is ") + non_regular_kind(mode) + ", not a regular file", 0};
}

} // namespace

Result<File, FileError> File::open(const std::string& path, Accept accept, const StopCheck& stop) {
    if (path.find('\0') != std::string::npos)
        return FileError{FileError::Kind::bad_name, "file name contained an unexpected NUL byte", 0};
    // Without O_NONBLOCK, opening a FIFO waits for a writer and opening some devices waits on the
    // device; the kind is known only once it is open, so the open itself must not wait.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | (accept == Accept::regular ? O_NONBLOCK : 0);
    int fd;
    while ((fd = ::open(path.c_str(), flags)) < 0 && errno == EINTR)
        if (stop && stop()) return interrupted();
    if (fd < 0) {
        const int error = errno;
        // A socket cannot be opened at all (ENXIO): its kind says more than the system's text.
        struct stat info {};
        if (accept == Accept::regular && ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
            return not_regular(info.st_mode);
        return os_error(error);
    }
    File file(fd, false, 0);
    struct stat info {};
    if (::fstat(fd, &info) != 0) return os_error(errno);
    if (S_ISDIR(info.st_mode)) return os_error(EISDIR);
    file.regular_ = S_ISREG(info.st_mode);
    if (!file.regular_ && accept == Accept::regular) return not_regular(info.st_mode);
    if (accept == Accept::regular && ::fcntl(fd, F_SETFL, O_RDONLY) != 0) return os_error(errno);
    if (file.regular_ && info.st_size > 0) file.size_ = static_cast<std::uint64_t>(info.st_size);
    return file;
}

Result<File, FileError> File::from_descriptor(int descriptor) {
    const int fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return os_error(errno);
    File file(fd, false, 0);
    struct stat info {};
    if (::fstat(fd, &info) != 0) return os_error(errno);
    if (S_ISDIR(info.st_mode)) return os_error(EISDIR);
    file.regular_ = S_ISREG(info.st_mode);
    if (file.regular_ && info.st_size > 0) file.size_ = static_cast<std::uint64_t>(info.st_size);
    return file;
}

File::File(File&& other) noexcept : fd_(other.fd_), regular_(other.regular_), size_(other.size_) { other.fd_ = -1; }

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

Result<bool, FileError> File::read_at(std::uint64_t offset, std::span<unsigned char> out, const StopCheck& stop) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t got = ::pread(fd_, out.data() + filled, out.size() - filled, static_cast<off_t>(offset + filled));
        if (got < 0) {
            if (errno != EINTR) return os_error(errno);
            if (stop && stop()) return interrupted();
            continue;
        }
        if (got == 0) return shrank(offset + filled, size_);
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

Result<std::string, FileError> File::read_all(std::size_t cap, const StopCheck& stop) {
    if (size_ > cap) return FileError{FileError::Kind::too_large, "more than " + std::to_string(cap) + " bytes", 0};
    // One byte beyond the expected size lets the read that finds the end fit without growing.
    const std::size_t limit = cap + 1;
    std::string text(std::min<std::size_t>(std::max<std::size_t>(size_ + 1, 4096), limit), '\0');
    std::size_t filled = 0;
    for (;;) {
        if (filled == text.size()) {
            if (filled == limit)
                return FileError{FileError::Kind::too_large, "more than " + std::to_string(cap) + " bytes", 0};
            text.resize(std::min(text.size() * 2, limit));
        }
        const ssize_t got = ::read(fd_, text.data() + filled, text.size() - filled);
        if (got < 0) {
            if (errno != EINTR) return os_error(errno);
            if (stop && stop()) return interrupted();
            continue;
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    text.resize(filled);
    return text;
}

Result<bool, FileError> File::check_not_shrunk() const {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return os_error(errno);
    if (regular_ && static_cast<std::uint64_t>(info.st_size) < size_)
        return shrank(static_cast<std::uint64_t>(info.st_size), size_);
    return true;
}

Window::Window(File& file, std::size_t capacity) : file_(file), buffer_(capacity) {}

Result<const unsigned char*, FileError> Window::view(std::uint64_t offset, std::size_t count, const StopCheck& stop) {
    if (offset >= start_ && offset + count <= start_ + filled_) return buffer_.data() + (offset - start_);
    // Refill from `offset` with as much as the buffer holds and the file had: the next views
    // mostly lie just ahead.
    const std::uint64_t left = file_.size() > offset ? file_.size() - offset : 0;
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), left));
    if (count > wanted) return shrank(offset + left, file_.size()); // callers stay within the size
    filled_ = 0;
    auto read = file_.read_at(offset, std::span(buffer_.data(), wanted), stop);
    if (!read) return std::move(read.error());
    start_ = offset;
    filled_ = wanted;
    return buffer_.data();
}

} // namespace qarv::files
