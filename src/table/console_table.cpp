// Rendering console tables.
#include "table/console_table.hpp"

#include <algorithm>
#include <utility>

#include "result.hpp"
#include "text/utf8.hpp"

namespace qarv {
namespace {

/// The Unicode White_Space property.
bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

/// C0 controls, DEL and C1 controls: each can start or steer a terminal sequence.
bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

/// Width of the `\u` escape a control character is shown as.
constexpr std::size_t escape_width = 6;

void append_escape(PieceWriter& out, char32_t c) {
    static constexpr char hex[] = "0123456789abcdef";
    const char text[escape_width] = {'\\', 'u', hex[(c >> 12) & 0xF], hex[(c >> 8) & 0xF], hex[(c >> 4) & 0xF],
                                     hex[c & 0xF]};
    out.append(std::string_view(text, escape_width));
}

/// Whether every byte is printable ASCII (U+0020 to U+007E). Such a line is shown exactly as it
/// is: a space after a word folds to itself, and nothing needs escaping. Checked in blocks
/// without an early exit inside, which the compiler turns into vector code.
bool printable_ascii(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    constexpr std::size_t block = 32;
    std::size_t at = 0;
    for (; at + block <= text.size(); at += block) {
        bool outside = false;
        for (std::size_t i = 0; i < block; ++i) outside |= static_cast<unsigned char>(bytes[at + i] - 0x20) >= 0x5F;
        if (outside) return false;
    }
    for (; at < text.size(); ++at)
        if (static_cast<unsigned char>(bytes[at] - 0x20) >= 0x5F) return false;
    return true;
}

/// How much room a cell line takes once shown: characters on screen, and bytes of text.
struct Shown {
    std::size_t width = 0;
    std::size_t bytes = 0;
};

/// One line of a cell as it is shown, drawn into `out` when `draw` is set, and its size. Only the
/// first white-space character after a word is folded to a space, so words stay apart on one
/// line while indentation and runs of white space keep their own characters; then every control
/// character left but tab is escaped.
template <bool draw>
Shown show_line(std::string_view line, PieceWriter* out) {
    if (printable_ascii(line)) {
        if constexpr (draw) out->append(line);
        return {line.size(), line.size()};
    }
    Shown shown;
    bool after_word = false;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t start = at;
        if (utf8::sequence_length(line, at) == 0) {
            // Cells come from UTF-8 text; a stray byte is kept as it is and counted once.
            if constexpr (draw) out->append(line[at]);
            ++at;
            ++shown.width;
            ++shown.bytes;
            after_word = true;
            continue;
        }
        const char32_t c = utf8::next_character(line, at);
        const bool white = is_white_space(c);
        if (white && after_word) {
            if constexpr (draw) out->append(' ');
            ++shown.width;
            ++shown.bytes;
        } else if (c != '\t' && is_control(c)) {
            if constexpr (draw) append_escape(*out, c);
            shown.width += escape_width;
            shown.bytes += escape_width;
        } else {
            if constexpr (draw) out->append(line.substr(start, at - start));
            ++shown.width;
            shown.bytes += at - start;
        }
        after_word = !white;
    }
    return shown;
}

/// The lines of a cell text, one at a time: split at LF, a CR that ends a line dropped, no line
/// after a final LF, and one empty line for an empty text.
class CellLines {
public:
    CellLines() = default;
    explicit CellLines(std::string_view text) : rest_(text), done_(false) {}

    [[nodiscard]] bool done() const noexcept { return done_; }

    /// The next line; only while not `done()`.
    std::string_view next() noexcept {
        const std::size_t feed = rest_.find('\n');
        if (feed == std::string_view::npos) {
            done_ = true;
            return std::exchange(rest_, {});
        }
        std::string_view line = rest_.substr(0, feed);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        rest_.remove_prefix(feed + 1);
        done_ = rest_.empty();
        return line;
    }

private:
    std::string_view rest_;
    bool done_ = true;
};

/// What drawing needs to know of a cell before its first line: the width of its widest line,
/// its number of lines, and whether it is one line of printable ASCII, drawn as it stands; for
/// the size of the drawing, the characters and bytes of all its lines together.
struct CellShape {
    std::size_t width = 0;
    std::size_t height = 1;
    bool plain = true;
    std::size_t characters = 0;
    std::size_t bytes = 0;
};

CellShape measure(std::string_view text) {
    if (printable_ascii(text)) return {text.size(), 1, true, text.size(), text.size()};
    CellShape shape{0, 0, false, 0, 0};
    for (CellLines lines(text); !lines.done(); ++shape.height) {
        const Shown shown = show_line<false>(lines.next(), nullptr);
        shape.width = std::max(shape.width, shown.width);
        shape.characters += shown.width;
        shape.bytes += shown.bytes;
    }
    return shape;
}

/// The characters of one border or rule: left end, fill, junction between columns, right end.
struct RuleLook {
    std::string_view left, fill, junction, right;
};

/// A text with the part of `PieceWriter`'s interface that rules are drawn through.
struct StringOut {
    std::string text;
    void append(std::string_view piece) { text += piece; }
    void fill(std::string_view piece, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) text += piece;
    }
};

constexpr RuleLook top_border{"╔", "═", "╤", "╗"};
constexpr RuleLook row_rule{"╟", "─", "┼", "╢"};
constexpr RuleLook bottom_border{"╚", "═", "╧", "╝"};

/// `Out` is a `PieceWriter`, or a `StringOut` for the rule kept whole.
template <class Out>
void draw_rule(Out& out, const std::vector<std::size_t>& widths, const RuleLook& look) {
    out.append(look.left);
    for (std::size_t column = 0; column < widths.size(); ++column) {
        if (column > 0) out.append(look.junction);
        out.fill(look.fill, widths[column]);
    }
    out.append(look.right);
}

/// The rule between rows, drawn once per table and copied for every row after the first;
/// empty when it is too long to keep (a table widened by a huge value draws it afresh each time).
std::string cached_rule(const std::vector<std::size_t>& widths) {
    std::size_t bytes = row_rule.left.size() + row_rule.right.size();
    for (std::size_t width : widths) bytes += width * row_rule.fill.size() + row_rule.junction.size();
    if (bytes > PieceWriter::piece_limit) return {};
    StringOut rule;
    rule.text.reserve(bytes);
    draw_rule(rule, widths, row_rule);
    return std::move(rule.text);
}

} // namespace

void ConsoleTable::add_viewed_row(std::span<const std::string_view> cells) {
    cells_.insert(cells_.end(), cells.begin(), cells.end());
    columns_ = std::max(columns_, cells.size());
    row_ends_.push_back(cells_.size());
}

void ConsoleTable::reserve(std::size_t rows, std::size_t columns) {
    cells_.reserve(rows * columns);
    row_ends_.reserve(rows);
}

std::span<const std::string_view> ConsoleTable::row(std::size_t index) const noexcept {
    const std::size_t start = index == 0 ? 0 : row_ends_[index - 1];
    return std::span<const std::string_view>(cells_).subspan(start, row_ends_[index] - start);
}

namespace {

/// The shape of every cell, row after row, and the width of every column.
struct TableShape {
    std::vector<CellShape> cells;
    std::vector<std::size_t> widths;
};

TableShape measure(const ConsoleTable& table) {
    const std::size_t columns = table.column_count();
    const std::size_t rows = table.row_count();
    if (rows == 0 || columns == 0) throw InternalFailure("table cannot be empty");
    TableShape shape;
    shape.cells.reserve(rows * columns);
    shape.widths.assign(columns, 0);
    for (std::size_t r = 0; r < rows; ++r) {
        const auto cells = table.row(r);
        if (cells.size() != columns) throw InternalFailure("table row has fewer cells than the table has columns");
        for (std::size_t column = 0; column < columns; ++column) {
            shape.cells.push_back(measure(cells[column]));
            shape.widths[column] = std::max(shape.widths[column], shape.cells.back().width);
        }
    }
    return shape;
}

std::size_t rule_size(const std::vector<std::size_t>& widths, const RuleLook& look) {
    std::size_t bytes = look.left.size() + look.right.size() + (widths.size() - 1) * look.junction.size();
    for (const std::size_t width : widths) bytes += width * look.fill.size();
    return bytes;
}

} // namespace

std::size_t rendered_size(const ConsoleTable& table) {
    const TableShape shape = measure(table);
    const std::size_t columns = shape.widths.size();
    const std::size_t rows = table.row_count();
    // Per content line: "\n║", the cells with a "│" between each two, "║".
    const std::size_t frame = 1 + std::string_view("║").size() * 2 + (columns - 1) * std::string_view("│").size();
    std::size_t total = rule_size(shape.widths, top_border) + rule_size(shape.widths, bottom_border) +
                        (rows - 1) * rule_size(shape.widths, row_rule) + rows; // a line feed after each row
    for (std::size_t r = 0; r < rows; ++r) {
        const CellShape* cells = &shape.cells[r * columns];
        std::size_t height = 0;
        for (std::size_t column = 0; column < columns; ++column) height = std::max(height, cells[column].height);
        total += height * frame;
        // Each line of a column is padded with spaces to the column's width; missing lines are all padding.
        for (std::size_t column = 0; column < columns; ++column)
            total += cells[column].bytes + height * shape.widths[column] - cells[column].characters;
    }
    return total;
}

void render_console(const ConsoleTable& table, PieceWriter& out) {
    const std::size_t columns = table.column_count();
    const std::size_t rows = table.row_count();
    const TableShape measured = measure(table);
    const std::vector<CellShape>& shapes = measured.cells;
    const std::vector<std::size_t>& widths = measured.widths;
    const std::string rule = cached_rule(widths);

    std::vector<CellLines> lines(columns);
    draw_rule(out, widths, top_border);
    for (std::size_t r = 0; r < rows && out.taken(); ++r) {
        const auto cells = table.row(r);
        const CellShape* shape = &shapes[r * columns];
        std::size_t height = 0;
        for (std::size_t column = 0; column < columns; ++column) {
            height = std::max(height, shape[column].height);
            if (!shape[column].plain) lines[column] = CellLines(cells[column]);
        }
        for (std::size_t index = 0; index < height; ++index) {
            out.append("\n║");
            for (std::size_t column = 0; column < columns; ++column) {
                if (column > 0) out.append("│");
                std::size_t width = 0;
                if (!shape[column].plain) {
                    if (!lines[column].done()) width = show_line<true>(lines[column].next(), &out).width;
                } else if (index == 0) {
                    out.append(cells[column]);
                    width = shape[column].width;
                }
                out.fill(" ", widths[column] - width);
            }
            out.append("║");
        }
        out.append('\n');
        if (r + 1 < rows) {
            if (!rule.empty()) out.append(rule);
            else draw_rule(out, widths, row_rule);
        }
    }
    draw_rule(out, widths, bottom_border);
}

} // namespace qarv
