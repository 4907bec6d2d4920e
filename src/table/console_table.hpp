// Text tables drawn with box-drawing characters in the one look the configuration summary uses.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qarv {

/// Rows of UTF-8 text cells. The first row is drawn like every other; it is a header only by
/// what it holds.
class ConsoleTable {
public:
    /// Appends a row; the column count grows to the longest row added.
    void add_row(std::vector<std::string> cells);

    [[nodiscard]] const std::vector<std::vector<std::string>>& rows() const noexcept { return rows_; }
    [[nodiscard]] std::size_t column_count() const noexcept { return columns_; }

private:
    std::vector<std::vector<std::string>> rows_;
    std::size_t columns_ = 0;
};

/// The table as text: a double outer frame, single inner lines, a rule between rows, cells left
/// aligned and as wide as their longest line in characters. Lines are joined by LF, with none
/// after the bottom border. Throws `InternalFailure` for a table without rows or columns, or
/// with a row shorter than the others: the summary never builds either.
std::string render_console(const ConsoleTable& table);

} // namespace qarv
