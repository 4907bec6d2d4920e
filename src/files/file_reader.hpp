// Reading the files a user names: through bounded buffers, never mapped, non-regular files refused
// before a read can block on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include <sys/types.h>

#include "result.hpp"

namespace qarv::files {

/// Asked when a system call returns EINTR: true ends the read as interrupted, false retries.
using StopCheck = std::function<bool()>;

/// Why a file could not be opened or read; `message` is complete and names no path.
struct FileError {
    enum class Kind : std::uint8_t {
        os,          ///< the system refused: `os_error` holds errno
        bad_name,    ///< a path no file can have (a NUL byte in it)
        not_regular, ///< a FIFO, device or socket where a regular file is wanted
        shrank,      ///< the file got shorter while it was read
        too_large,   ///< more than the caller's cap
        interrupted, ///< the caller's `StopCheck` ended a wait; the caller holds the reason
    };
    Kind kind;
    std::string message;
    int os_error = 0;
};

/// The kind of a file that is not regular, as a message names it ("a FIFO (named pipe)", "a
/// character device", ...), or null for a regular file.
const char* non_regular_kind(mode_t mode);

/// What `File::open` takes besides regular files.
enum class Accept : std::uint8_t {
    regular, ///< regular files only: anything else is refused without blocking on it
    streams, ///< pipes and devices as well, read from where they stand (a configuration on stdin)
};

/// An open file, closed with the object.
class File {
public:
    /// Opens `path` for reading. Under `Accept::regular` the file is opened without waiting for a
    /// FIFO's writer and refused, by kind, unless it is regular. A directory is always `EISDIR`.
    static Result<File, FileError> open(const std::string& path, Accept accept, const StopCheck& stop = {});

    /// A copy of the open `descriptor` (a pipe, a socket: what no path opens again), read from
    /// where it stands.
    static Result<File, FileError> from_descriptor(int descriptor);

    File(File&& other) noexcept;
    File& operator=(File&&) = delete;
    ~File();

    bool regular() const { return regular_; }
    /// The size when it was opened; 0 for a stream.
    std::uint64_t size() const { return size_; }

    /// Fills `out` with the bytes at `offset`; a file that ends first has shrunk since it was opened.
    Result<bool, FileError> read_at(std::uint64_t offset, std::span<unsigned char> out, const StopCheck& stop = {});

    /// The rest of the file, read forward in growing steps: no more than `cap` bytes and one, which
    /// tells a file at the cap from a longer one (`too_large`). A regular file that reports no size
    /// (procfs) reads whole too.
    Result<std::string, FileError> read_all(std::size_t cap, const StopCheck& stop = {});

    /// `shrank` when the file is now shorter than when it was opened: a reader that passed over
    /// bytes by offset has not seen them go.
    Result<bool, FileError> check_not_shrunk() const;

private:
    File(int fd, bool regular, std::uint64_t size) : fd_(fd), regular_(regular), size_(size) {}
    int fd_;
    bool regular_;
    std::uint64_t size_;
};

/// A fixed buffer over a regular file: views of its bytes at any offset, read again only when a
/// view leaves the buffer. Memory stays at the buffer's size whatever the file's.
class Window {
public:
    /// `capacity` bounds the longest view.
    Window(File& file, std::size_t capacity);

    /// The `count` bytes at `offset`, valid until the next call; `offset + count` must not pass
    /// the file's size at opening, and a file that now ends sooner is `shrank`.
    Result<const unsigned char*, FileError> view(std::uint64_t offset, std::size_t count, const StopCheck& stop = {});

private:
    File& file_;
    std::vector<unsigned char> buffer_;
    std::uint64_t start_ = 0; ///< file offset of buffer_[0]
    std::size_t filled_ = 0;
};

} // namespace qarv::files
