// An output buffer that hands its text on in pieces of bounded size.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace qarv {

/// Collects text and passes it to a consumer in pieces of at most `piece_limit` bytes, so that a
/// table many times larger than its input (one long value widens every line of its table) never
/// exists in memory as a whole. The consumer, `emit(std::string_view) -> bool`, may refuse a
/// piece; from then on everything is dropped and `taken()` is false. Pieces are bytes: a long
/// text may be cut inside a UTF-8 sequence.
class PieceWriter {
public:
    static constexpr std::size_t piece_limit = 64 * 1024;

    /// `emit` must outlive the writer.
    template <class Emit>
    explicit PieceWriter(Emit& emit)
        : context_(&emit),
          call_([](void* context, std::string_view piece) -> bool { return (*static_cast<Emit*>(context))(piece); }),
          buffer_(std::make_unique_for_overwrite<char[]>(piece_limit)) {}

    PieceWriter(const PieceWriter&) = delete;
    PieceWriter& operator=(const PieceWriter&) = delete;

    void append(std::string_view text) {
        if (text.size() <= piece_limit - size_) {
            // An empty view may hold no pointer at all, which memcpy must not be given.
            if (!text.empty()) std::memcpy(buffer_.get() + size_, text.data(), text.size());
            size_ += text.size();
        } else {
            append_long(text);
        }
    }

    void append(char c) {
        if (size_ == piece_limit) flush();
        buffer_[size_++] = c;
    }

    /// `count` copies of `piece`, which is at most a few bytes long.
    void fill(std::string_view piece, std::size_t count) {
        if (piece.size() * count <= piece_limit - size_) {
            char* at = buffer_.get() + size_;
            const std::size_t bytes = piece.size() * count;
            if (piece.size() == 1) {
                std::memset(at, piece[0], count);
            } else if (bytes > 0) {
                // One copy, then copies of what is there, doubling: a rule of a hundred box-drawing
                // characters takes a handful of copies, not a hundred.
                std::memcpy(at, piece.data(), piece.size());
                for (std::size_t done = piece.size(); done < bytes; done *= 2)
                    std::memcpy(at + done, at, std::min(done, bytes - done));
            }
            size_ += bytes;
        } else {
            fill_long(piece, count);
        }
    }

    /// Hands on what is buffered. Returns false once the consumer has refused a piece. The buffer
    /// is emptied first, so a consumer that throws never sees the same piece twice.
    bool flush() {
        const std::size_t size = std::exchange(size_, 0);
        if (size > 0 && taken_) taken_ = call_(context_, std::string_view(buffer_.get(), size));
        return taken_;
    }

    /// Whether every piece so far was taken; a renderer stops early once it is false.
    [[nodiscard]] bool taken() const noexcept { return taken_; }

private:
    void append_long(std::string_view text) {
        while (!text.empty() && taken_) {
            if (size_ == piece_limit) flush();
            const std::size_t part = std::min(text.size(), piece_limit - size_);
            std::memcpy(buffer_.get() + size_, text.data(), part);
            size_ += part;
            text.remove_prefix(part);
        }
    }

    void fill_long(std::string_view piece, std::size_t count) {
        // Whole copies of the piece while they fit, then the rest of the line in later pieces.
        while (count > 0 && taken_) {
            if (piece_limit - size_ < piece.size()) flush();
            const std::size_t fits = std::min(count, (piece_limit - size_) / piece.size());
            fill(piece, fits);
            count -= fits;
        }
    }

    void* context_;
    bool (*call_)(void*, std::string_view);
    std::unique_ptr<char[]> buffer_;
    std::size_t size_ = 0;
    bool taken_ = true;
};

} // namespace qarv
