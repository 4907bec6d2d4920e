// Rendering console tables.
#include "table/console_table.hpp"

#include <algorithm>
#include <string_view>

#include "result.hpp"
#include "text/utf8.hpp"

namespace qarv {
namespace {

/// A cell line as it is drawn, with its width in Unicode scalar values.
struct CellLine {
    std::string text;
    std::size_t width = 0;
};

/// The Unicode White_Space property.
bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

/// Only the first white-space character after a word is folded to a space, so words stay apart
/// on one line while indentation and runs of white space keep their own characters.
CellLine fold_line(std::string_view line) {
    CellLine out;
    out.text.reserve(line.size());
    bool after_word = false;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t start = at;
        const std::size_t length = utf8::sequence_length(line, at);
        if (length == 0) {
            // Cells come from UTF-8 text; a stray byte is kept as it is and counted once.
            out.text.push_back(line[at++]);
            after_word = true;
            ++out.width;
            continue;
        }
        const char32_t c = utf8::next_character(line, at);
        const bool white = is_white_space(c);
        if (white && after_word)
            out.text.push_back(' ');
        else
            out.text.append(line.substr(start, at - start));
        after_word = !white;
        ++out.width;
    }
    return out;
}

/// Splits at LF, dropping a CR that ends a line; a final LF opens no further line, and an empty
/// text is one empty line.
std::vector<CellLine> cell_lines(std::string_view text) {
    std::vector<CellLine> lines;
    std::size_t start = 0;
    while (true) {
        const std::size_t feed = text.find('\n', start);
        if (feed == std::string_view::npos) {
            if (start < text.size() || lines.empty()) lines.push_back(fold_line(text.substr(start)));
            break;
        }
        std::string_view line = text.substr(start, feed - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(fold_line(line));
        start = feed + 1;
    }
    return lines;
}

void append_repeated(std::string& out, std::string_view piece, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) out += piece;
}

/// One border or rule line.
void append_rule(std::string& out, const std::vector<std::size_t>& widths, std::string_view left,
                 std::string_view fill, std::string_view junction, std::string_view right) {
    out += left;
    for (std::size_t column = 0; column < widths.size(); ++column) {
        if (column > 0) out += junction;
        append_repeated(out, fill, widths[column]);
    }
    out += right;
}

} // namespace

void ConsoleTable::add_row(std::vector<std::string> cells) {
    columns_ = std::max(columns_, cells.size());
    rows_.push_back(std::move(cells));
}

std::string render_console(const ConsoleTable& table) {
    const std::size_t columns = table.column_count();
    if (table.rows().empty() || columns == 0) throw InternalFailure("table cannot be empty");

    std::vector<std::vector<std::vector<CellLine>>> laid_out;
    laid_out.reserve(table.rows().size());
    std::vector<std::size_t> widths(columns, 0);
    for (const auto& row : table.rows()) {
        if (row.size() != columns) throw InternalFailure("table row has fewer cells than the table has columns");
        auto& cells = laid_out.emplace_back();
        for (std::size_t column = 0; column < columns; ++column) {
            cells.push_back(cell_lines(row[column]));
            for (const CellLine& line : cells.back()) widths[column] = std::max(widths[column], line.width);
        }
    }

    std::string out;
    append_rule(out, widths, "╔", "═", "╤", "╗");
    for (std::size_t r = 0; r < laid_out.size(); ++r) {
        const auto& cells = laid_out[r];
        std::size_t height = 0;
        for (const auto& lines : cells) height = std::max(height, lines.size());
        for (std::size_t index = 0; index < height; ++index) {
            out += "\n║";
            for (std::size_t column = 0; column < columns; ++column) {
                if (column > 0) out += "│";
                std::size_t width = 0;
                if (index < cells[column].size()) {
                    out += cells[column][index].text;
                    width = cells[column][index].width;
                }
                out.append(widths[column] - width, ' ');
            }
            out += "║";
        }
        out += '\n';
        if (r + 1 < laid_out.size()) append_rule(out, widths, "╟", "─", "┼", "╢");
    }
    append_rule(out, widths, "╚", "═", "╧", "╝");
    return out;
}

} // namespace qarv
