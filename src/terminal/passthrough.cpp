// The reading thread that passes a toolkit's descriptor output above the live line.
#include "terminal/passthrough.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

namespace qarv {
namespace {

/// Writes all of `text`, retrying after signals; a descriptor that fails is given up on.
void write_all(int descriptor, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(descriptor, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd wait{descriptor, POLLOUT, 0};
                ::poll(&wait, 1, 100);
                continue;
            }
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

constexpr std::string_view clear_line = "\r\x1b[K";

/// How many bytes `descriptor` (a pipe's reading end) holds right now.
std::size_t waiting_bytes(int descriptor) {
    int count = 0;
    return ::ioctl(descriptor, FIONREAD, &count) == 0 && count > 0 ? static_cast<std::size_t>(count) : 0;
}

} // namespace

struct Passthrough::State {
    /// One redirected descriptor: the pipe's reading end, the saved original, what is unfinished.
    struct Source {
        int descriptor = -1;
        int original = -1;
        int reading = -1;
        std::string pending;
        /// Once the thread is told to end: how much more it reads from the pipe. A child process
        /// of the toolkit may hold the pipe's writing end and keep writing after the descriptors
        /// are back; only what was written before that is passed on.
        std::size_t left = 0;
    };

    int terminal = -1;
    std::vector<Source> sources;
    int wake[2] = {-1, -1}; ///< written to once to end the thread
    std::atomic<bool> ending{false}; ///< set before the wake-up, seen even if the wake pipe fails
    pid_t owner = 0;                 ///< the process that started it; a forked child must not stop it
    std::thread reader;
    std::mutex lock;
    std::string live;
    bool shown = false;   ///< the live line is on the screen
    bool foreign = false; ///< someone else's line is unfinished: no redraw until it ends
    bool stopped = false;

    /// Passes `text` from `source` above the live line; holds `lock`.
    void pass(Source& source, std::string_view text) {
        if (text.empty()) return;
        if (shown) {
            write_all(terminal, clear_line);
            shown = false;
        }
        write_all(source.original, text);
        foreign = text.back() != '\n';
        if (!foreign && !live.empty()) {
            write_all(terminal, live);
            shown = true;
        }
    }

    /// Reads what each pipe holds; whole lines are passed at once, an unfinished line when the
    /// pipes stay quiet for a moment (or at the end).
    void run() {
        std::vector<pollfd> polled;
        for (const Source& source : sources) polled.push_back({source.reading, POLLIN, 0});
        polled.push_back({wake[0], POLLIN, 0});
        char buffer[65536];
        bool draining = false;
        while (true) {
            const int ready = ::poll(polled.data(), polled.size(), draining ? 0 : 50);
            if (ready < 0) {
                // Only a signal or a shortage of kernel memory gets here; neither is a reason to
                // leave the pipes unread, and retrying at once would only spin.
                if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            // A descriptor closed or broken behind this thread's back reports itself on every
            // poll: it is dropped, not polled again.
            if ((polled.back().revents & (POLLERR | POLLNVAL)) != 0) polled.back().fd = -1;
            if (!draining && ending.load()) {
                draining = true;
                for (std::size_t i = 0; i < sources.size(); ++i)
                    sources[i].left = polled[i].fd < 0 ? 0 : waiting_bytes(sources[i].reading);
            }
            bool any = false;
            for (std::size_t i = 0; i < sources.size(); ++i) {
                Source& source = sources[i];
                if (polled[i].fd < 0) continue;
                if (draining && source.left == 0) {
                    polled[i].fd = -1;
                    continue;
                }
                if ((polled[i].revents & (POLLIN | POLLHUP)) == 0) {
                    if ((polled[i].revents & (POLLERR | POLLNVAL)) != 0) polled[i].fd = -1;
                    continue;
                }
                const std::size_t wanted = draining ? std::min(sizeof buffer, source.left) : sizeof buffer;
                const ssize_t count = ::read(source.reading, buffer, wanted);
                if (count <= 0) {
                    if (count == 0 || (errno != EINTR && errno != EAGAIN)) polled[i].fd = -1;
                    continue;
                }
                any = true;
                if (draining) source.left -= static_cast<std::size_t>(count);
                source.pending.append(buffer, static_cast<std::size_t>(count));
                const std::size_t end = source.pending.rfind('\n');
                if (end == std::string::npos) continue;
                std::lock_guard guard(lock);
                pass(source, std::string_view(source.pending).substr(0, end + 1));
                source.pending.erase(0, end + 1);
            }
            if (!any) {
                std::lock_guard guard(lock);
                for (Source& source : sources) {
                    pass(source, source.pending);
                    source.pending.clear();
                }
                if (draining) return;
            }
        }
    }
};

Passthrough::Passthrough(std::unique_ptr<State> state) : state_(std::move(state)) {}

Passthrough::~Passthrough() { stop(); }

std::unique_ptr<Passthrough> Passthrough::start(int terminal, const std::vector<int>& descriptors) {
    auto state = std::make_unique<State>();
    state->terminal = terminal;
    state->owner = ::getpid();
    const auto undo = [&] {
        for (State::Source& source : state->sources) {
            if (source.original >= 0) {
                ::dup2(source.original, source.descriptor);
                ::close(source.original);
            }
            if (source.reading >= 0) ::close(source.reading);
        }
        for (int end : state->wake)
            if (end >= 0) ::close(end);
        return nullptr;
    };
    if (::pipe2(state->wake, O_CLOEXEC) < 0) return undo();
    for (const int descriptor : descriptors) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) < 0) return undo();
        State::Source source{descriptor, ::fcntl(descriptor, F_DUPFD_CLOEXEC, 3), ends[0], {}};
        if (source.original < 0 || ::dup2(ends[1], descriptor) < 0) {
            ::close(ends[1]);
            state->sources.push_back(std::move(source));
            return undo();
        }
        ::close(ends[1]);
        state->sources.push_back(std::move(source));
    }
    // The live line is drawn on the terminal as it was, not into its own pipe.
    for (const State::Source& source : state->sources)
        if (source.descriptor == terminal) state->terminal = source.original;
    try {
        State* running = state.get();
        state->reader = std::thread([running] { running->run(); });
    } catch (...) {
        errno = EAGAIN;
        return undo();
    }
    return std::unique_ptr<Passthrough>(new Passthrough(std::move(state)));
}

void Passthrough::show(std::string_view text) {
    std::lock_guard guard(state_->lock);
    state_->live = std::string(clear_line.substr(0, 1)) + std::string(text) + "\x1b[K";
    if (state_->foreign || state_->stopped) return;
    write_all(state_->terminal, state_->live);
    state_->shown = true;
}

void Passthrough::write(std::string_view text) {
    std::lock_guard guard(state_->lock);
    if (state_->stopped) return;
    if (state_->shown) write_all(state_->terminal, clear_line);
    state_->shown = false;
    state_->live.clear();
    if (state_->foreign) {
        write_all(state_->terminal, "\n");
        state_->foreign = false;
    }
    write_all(state_->terminal, text);
}

void Passthrough::stop() {
    if (!state_ || state_->stopped) return;
    for (State::Source& source : state_->sources) ::dup2(source.original, source.descriptor);
    // In a child forked while the thread ran there is no thread to end, and the wake-up pipe is
    // still the parent's: its descriptors are put back and nothing else is touched. Its copy of
    // the state is let go unfreed, since destroying a thread object that is not joined aborts.
    if (::getpid() != state_->owner) {
        static_cast<void>(state_.release());
        return;
    }
    state_->ending.store(true);
    const char wake = 1;
    while (::write(state_->wake[1], &wake, 1) < 0 && errno == EINTR) {
    }
    state_->reader.join();
    std::lock_guard guard(state_->lock);
    state_->stopped = true;
    for (State::Source& source : state_->sources) {
        ::close(source.original);
        ::close(source.reading);
    }
    for (int end : state_->wake) ::close(end);
}

} // namespace qarv
