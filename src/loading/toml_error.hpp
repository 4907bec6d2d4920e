// The positioned configuration error of parsing and mapping, and its rendered report.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qarv {

/// A byte range [start, end) into the file text.
struct ByteSpan {
    std::size_t start = 0;
    std::size_t end = 0;
};

/// What is wrong with a configuration, one word each for those who act on it (`fault_word`).
enum class FaultKind {
    syntax,         ///< the text is not TOML
    type,           ///< a value of the wrong type
    value,          ///< a value of the right type out of its type's range
    missing,        ///< a required key left out
    variant,        ///< a tag naming a variant there is not
    unknown,        ///< an override naming a table or key there is not
    override_shape, ///< an override that does not set one key of one table
};

/// The stable word of `kind`: "syntax", "type", "value", "missing", "variant", "unknown",
/// "override".
std::string_view fault_word(FaultKind kind);

/// A configuration error: what is wrong, where in the text, and under which table keys.
struct TomlError {
    std::string message;
    std::optional<ByteSpan> span;
    std::shared_ptr<const std::string> source; ///< the whole file text the span refers to
    std::vector<std::string> keys;             ///< outermost table key first
    FaultKind kind = FaultKind::syntax;
    std::string expected{};   ///< what the value should have been, as the message words it; empty: none
    bool in_override = false; ///< `source` is the text of an override, not the file's
    /// Where the value of the key at fault stands, when `span` points elsewhere (at the table of
    /// a key that is read while the table's tag is looked for).
    std::optional<ByteSpan> value_span{};
};

/// Where a span starts, as reports count it: line and column from 1, the column in characters
/// (in bytes on a line that is not UTF-8), and how many carets mark the span on that line.
struct TextPosition {
    std::size_t line = 1;
    std::size_t column = 1;
    std::size_t carets = 1;
};

/// The position of `span` in `text`, exactly as `render` prints it.
TextPosition position_of(std::string_view text, ByteSpan span);
/// The positions of many spans, each as `position_of` gives it, in one walk over the text rather
/// than one from its start for each span.
std::vector<TextPosition> positions_of(std::string_view text, const std::vector<ByteSpan>& spans);

/// The line of `text` that holds the start of `span`, without its line feed: the one `render` quotes.
std::string_view quoted_line(std::string_view text, ByteSpan span);

/// The "TOML parse error at line L, column C" report: five lines with an excerpt and carets when
/// the error has a span and a source, else the message and the key path. Every line ends in "\n".
/// Warnings about the same text use their own `heading` in place of "TOML parse error".
std::string render(const TomlError& error, std::string_view heading = "TOML parse error");

/// The three lines of a report that quote the line of `span` and mark the span with carets.
std::string excerpt(std::string_view text, ByteSpan span);

} // namespace qarv
