// Text tables drawn with box-drawing characters in the one look the configuration summary uses.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "table/piece_writer.hpp"

namespace qarv {

/// Rows of UTF-8 text cells. The first row is drawn like every other; it is a header only by
/// what it holds. Cells are kept as views, so a summary row costs no copies of its texts.
class ConsoleTable {
public:
    /// Appends a row of texts viewed in place; they must outlive the table. The column count
    /// grows to the longest row.
    void add_viewed_row(std::span<const std::string_view> cells);

    /// Room for `rows` rows of `columns` cells, so that filling the table allocates once.
    void reserve(std::size_t rows, std::size_t columns);

    [[nodiscard]] std::size_t row_count() const noexcept { return row_ends_.size(); }
    [[nodiscard]] std::size_t column_count() const noexcept { return columns_; }
    [[nodiscard]] std::span<const std::string_view> row(std::size_t index) const noexcept;

private:
    std::vector<std::string_view> cells_; ///< all rows, one after the other
    std::vector<std::size_t> row_ends_;   ///< where each row's cells end in `cells_`
    std::size_t columns_ = 0;
};

/// Draws the table into `out`: a double outer frame, single inner lines, a rule between rows,
/// cells left aligned and as wide as their longest line in characters. Lines are joined by LF,
/// with none after the bottom border. The text is made line by line straight into `out`, which
/// hands it on in bounded pieces; drawing stops early once `out` is refused. Control characters
/// left in a cell line other than tab show as `\u` escapes, so that no cell text can drive a
/// terminal. Throws `InternalFailure` for a table without rows or columns, or with a row shorter
/// than the others: the summary never builds either.
void render_console(const ConsoleTable& table, PieceWriter& out);

/// The number of bytes `render_console` draws for `table`, found without drawing it; it throws
/// as `render_console` does.
std::size_t rendered_size(const ConsoleTable& table);

} // namespace qarv
