// What a toolkit writes to file descriptors 1 and 2 while a live line is shown, passed above it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qarv {

/// Puts a pipe in place of each given descriptor and passes what arrives on it, line by line, to
/// the descriptor's own output, above a live line drawn on `terminal`. A thread of its own reads
/// the pipes and never touches the interpreter, so a toolkit that writes while it holds the
/// interpreter lock is never kept waiting on it. All terminal writes go through one lock.
class Passthrough {
public:
    /// Starts passing `descriptors` (each a copy is kept of) above the live line on `terminal`.
    /// Null, with `errno` set, when a pipe or a thread cannot be made; nothing is changed then.
    static std::unique_ptr<Passthrough> start(int terminal, const std::vector<int>& descriptors);
    ~Passthrough();
    Passthrough(const Passthrough&) = delete;
    Passthrough& operator=(const Passthrough&) = delete;

    /// Draws `text` as the live line (no line feed) and keeps it to draw again under passed lines;
    /// while someone else's line is unfinished it is only kept.
    void show(std::string_view text);
    /// Writes `text` to the terminal in the live line's place: the live line is cleared first and
    /// counts as gone afterwards. Without `wait` (the run is interrupted), a terminal with no room
    /// now, its output stopped, gets nothing.
    void write(std::string_view text, bool wait = true);
    /// Puts the descriptors back, passes on what the pipes hold at that moment, and ends the
    /// thread; a writer that goes on (a child process of the toolkit, say) does not hold it up.
    /// With `abandon` (the run is interrupted), what the terminal cannot take at once, its output
    /// being stopped, is dropped rather than waited for. A child process forked while it runs
    /// holds no reader of the pipes: what it writes once the thread has ended is discarded (its
    /// writes fail with EPIPE), never left to fill a pipe and block it.
    void stop(bool abandon = false);

    struct State;

private:
    explicit Passthrough(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

} // namespace qarv
