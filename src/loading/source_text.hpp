// Byte offsets of toml++ source positions in the configuration text.
#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "loading/toml.hpp"

#include "loading/toml_error.hpp"
#include "result.hpp"
#include "text/utf8.hpp"

namespace qarv {

/// Turns toml++'s positions (1-based line and column, columns in code points) into byte offsets.
class SourceText {
public:
    explicit SourceText(std::shared_ptr<const std::string> text) : text_(std::move(text)) {}

    const std::shared_ptr<const std::string>& text() const { return text_; }

    std::size_t offset(const toml::source_position& position) const {
        if (line_starts_.empty()) index_lines();
        const std::string_view text = *text_;
        if (position.line == 0 || position.line > line_starts_.size()) return text.size();
        std::size_t at = line_starts_[position.line - 1];
        for (std::size_t column = 1; column < position.column; ++column) {
            if (at >= text.size()) return at + (position.column - column);
            utf8::next_character(text, at);
        }
        return at;
    }

    /// The region's byte span; none when the parser recorded no place for it.
    std::optional<ByteSpan> span(const toml::source_region& region) const {
        if (region.begin.line == 0) return std::nullopt;
        const std::size_t start = offset(region.begin);
        const std::size_t end = region.end.line == 0 ? start : std::max(start, offset(region.end));
        return ByteSpan{start, end};
    }

private:
    void index_lines() const {
        const std::string_view text = *text_;
        // The parser skips a byte-order mark before it starts counting columns.
        line_starts_.push_back(text.starts_with("\xEF\xBB\xBF") ? 3 : 0);
        for (std::size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1))
            line_starts_.push_back(at + 1);
    }

    std::shared_ptr<const std::string> text_;
    mutable std::vector<std::size_t> line_starts_;
};

/// The document of `source`, or its first syntax fault as an error with the text attached. The
/// parser names a point, not a stretch, so the fault's span is empty: one caret.
inline Result<toml::table, TomlError> parse_document(const SourceText& source) {
    toml::parse_result parsed = toml::parse(*source.text());
    if (!parsed) {
        const toml::parse_error& fault = parsed.error();
        std::optional<ByteSpan> span = source.span(fault.source());
        if (span) span->end = span->start;
        return TomlError{std::string(fault.description()), span, source.text(), {}};
    }
    return std::move(parsed).table();
}

} // namespace qarv
