// The reading thread that passes a toolkit's descriptor output above the live line.
#include "terminal/passthrough.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
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

/// Writes all of `text`; a descriptor that fails is given up on. So is a write a signal cuts
/// short: only the signals the run handles (Ctrl-C, SIGTERM, SIGHUP) can, the reading thread
/// blocks them all, and a terminal whose output is stopped (Ctrl-S) must not keep the run from
/// ending.
void write_all(int descriptor, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(descriptor, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) return;
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

    /// The state of the running passthrough, for the fork handler.
    static std::atomic<State*> active;

    /// In a child forked while it runs (a toolkit's worker process), the pipes' reading ends are
    /// closed: the child holds no reader of its own output, so once the parent stops reading, the
    /// child's writes there fail (EPIPE) instead of filling a pipe nobody drains and blocking.
    static void forget_in_child() {
        if (State* state = active.load()) {
            for (const Source& source : state->sources) ::close(source.reading);
            for (int end : state->wake) ::close(end);
        }
    }

    int terminal = -1;
    std::vector<Source> sources;
    /// Non-blocking descriptions of the terminals this thread writes to, by the descriptor they
    /// stand for: a write to a stopped terminal fails at once with them instead of waiting, and
    /// the flag is theirs alone, not the one other processes share.
    std::vector<std::pair<int, int>> twins;
    int wake[2] = {-1, -1}; ///< written to once to end the thread
    std::atomic<bool> ending{false}; ///< set before the wake-up, seen even if the wake pipe fails
    std::atomic<bool> abandon{false}; ///< the run is interrupted: what cannot be written now is dropped
    pid_t owner = 0;                 ///< the process that started it; a forked child must not stop it
    std::thread reader;
    std::mutex lock;
    std::string live;
    bool shown = false;   ///< the live line is on the screen
    bool foreign = false; ///< someone else's line is unfinished: no redraw until it ends
    bool stopped = false;

    /// What one pass writes where, in order: decided under `lock`, written without it.
    using Pieces = std::vector<std::pair<int, std::string>>;

    /// Decides how `text` from `source` goes above the live line; holds `lock`.
    void pass(Source& source, std::string_view text, Pieces& pieces) {
        if (text.empty()) return;
        if (shown) {
            pieces.emplace_back(terminal, clear_line);
            shown = false;
        }
        pieces.emplace_back(source.original, text);
        foreign = text.back() != '\n';
        if (!foreign && !live.empty()) {
            pieces.emplace_back(terminal, live);
            shown = true;
        }
    }

    /// Writes `pieces` from this thread, holding nothing while it waits for room: a terminal whose
    /// output is stopped (Ctrl-S) keeps it here, not the main thread, and `abandon` ends the wait.
    void write_out(const Pieces& pieces) {
        for (const auto& [original, piece] : pieces) {
            const auto twin = std::find_if(twins.begin(), twins.end(), [&](const auto& t) { return t.first == original; });
            const int descriptor = twin == twins.end() ? original : twin->second;
            std::string_view text = piece;
            while (!text.empty()) {
                if (abandon.load()) return;
                const ssize_t written = ::write(descriptor, text.data(), text.size());
                if (written < 0) {
                    if (errno == EINTR) continue;
                    if (errno != EAGAIN && errno != EWOULDBLOCK) break;
                    // A stopped terminal may still poll as writable: wait a little and try again.
                    pollfd wait{descriptor, POLLOUT, 0};
                    ::poll(&wait, 1, 20);
                    ::poll(nullptr, 0, 20);
                    continue;
                }
                text.remove_prefix(static_cast<std::size_t>(written));
            }
        }
    }

    /// Opens the non-blocking twin of `descriptor` when it is a terminal.
    void add_twin(int descriptor) {
        if (descriptor < 0 || !::isatty(descriptor)) return;
        for (const auto& twin : twins)
            if (twin.first == descriptor) return;
        const std::string path = "/proc/self/fd/" + std::to_string(descriptor);
        const int twin = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (twin >= 0) twins.emplace_back(descriptor, twin);
    }

    /// Reads what each pipe holds; whole lines are passed at once, an unfinished line when the
    /// pipes stay quiet for a moment (or at the end).
    void run() {
        // Signals are for the main thread: one taken here would not cut its waits short.
        sigset_t all;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
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
                Pieces pieces;
                {
                    std::lock_guard guard(lock);
                    pass(source, std::string_view(source.pending).substr(0, end + 1), pieces);
                }
                write_out(pieces);
                source.pending.erase(0, end + 1);
            }
            if (!any) {
                Pieces pieces;
                {
                    std::lock_guard guard(lock);
                    for (Source& source : sources) {
                        pass(source, source.pending, pieces);
                        source.pending.clear();
                    }
                }
                write_out(pieces);
                if (draining) return;
            }
        }
    }
};

std::atomic<Passthrough::State*> Passthrough::State::active{nullptr};

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
        for (const auto& twin : state->twins) ::close(twin.second);
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
    state->add_twin(state->terminal);
    for (const State::Source& source : state->sources) state->add_twin(source.original);
    static const bool fork_handler = ::pthread_atfork(nullptr, nullptr, State::forget_in_child) == 0;
    static_cast<void>(fork_handler);
    try {
        State* running = state.get();
        state->reader = std::thread([running] { running->run(); });
    } catch (...) {
        errno = EAGAIN;
        return undo();
    }
    State::active.store(state.get());
    return std::unique_ptr<Passthrough>(new Passthrough(std::move(state)));
}

void Passthrough::show(std::string_view text) {
    std::lock_guard guard(state_->lock);
    state_->live = std::string(clear_line.substr(0, 1)) + std::string(text) + "\x1b[K";
    if (state_->foreign || state_->stopped) return;
    // A redraw is only a refresh: a terminal with no room (its output stopped) is not waited on,
    // and the line is drawn again once it takes text.
    pollfd room{state_->terminal, POLLOUT, 0};
    if (::poll(&room, 1, 0) != 1 || (room.revents & POLLOUT) == 0) return;
    write_all(state_->terminal, state_->live);
    state_->shown = true;
}

void Passthrough::write(std::string_view text, bool wait) {
    std::lock_guard guard(state_->lock);
    if (state_->stopped) return;
    pollfd room{state_->terminal, POLLOUT, 0};
    if (!wait && (::poll(&room, 1, 0) != 1 || (room.revents & POLLOUT) == 0)) return;
    if (state_->shown) write_all(state_->terminal, clear_line);
    state_->shown = false;
    state_->live.clear();
    if (state_->foreign) {
        write_all(state_->terminal, "\n");
        state_->foreign = false;
    }
    write_all(state_->terminal, text);
}

void Passthrough::stop(bool abandon) {
    if (!state_ || state_->stopped) return;
    for (State::Source& source : state_->sources) ::dup2(source.original, source.descriptor);
    // In a child forked while the thread ran there is no thread to end, and the wake-up pipe is
    // still the parent's: its descriptors are put back and nothing else is touched. Its copy of
    // the state is let go unfreed, since destroying a thread object that is not joined aborts.
    if (::getpid() != state_->owner) {
        static_cast<void>(state_.release());
        return;
    }
    State::active.store(nullptr);
    state_->abandon.store(abandon);
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
    for (const auto& twin : state_->twins) ::close(twin.second);
}

} // namespace qarv
