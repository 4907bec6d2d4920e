// Rows and text of the summary sections.
#include "section/section_report.hpp"

#include <algorithm>
#include <array>
#include <numeric>
#include <string>
#include <tuple>

#include "section/field_text.hpp"
#include "table/console_table.hpp"

namespace qarv {
namespace {

/// Key, Value, Default, Set by User?, Description.
constexpr std::size_t summary_columns = 5;

/// Indices of `Record`'s fields in ascending byte order of key name: the order of its rows.
template <class Record>
constexpr auto row_order() {
    constexpr auto names = std::apply(
        [](const auto&... field) { return std::array<std::string_view, sizeof...(field)>{field.name...}; },
        Describe<Record>::fields);
    std::array<std::size_t, names.size()> order{};
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return names[a] < names[b]; });
    return order;
}

/// A cell text either viewed where it lies (a string field, shown bare) or made into the
/// section's scratch text, whose growth would move any view into it: those are taken at the end.
struct CellText {
    std::string_view viewed;
    std::size_t offset = 0;
    std::size_t size = 0;
    bool made = false;

    [[nodiscard]] std::string_view in(const std::string& scratch) const {
        return made ? std::string_view(scratch).substr(offset, size) : viewed;
    }
};

template <class T>
CellText cell_text(const T& value, std::string& scratch) {
    if (const std::string* text = bare_string(value)) return {*text};
    const std::size_t offset = scratch.size();
    append_json_text(scratch, value);
    return {{}, offset, scratch.size() - offset, true};
}

template <class Record>
void write_section(PieceWriter& out, std::string_view name, const Record& record, bool changed_only) {
    static constexpr auto order = row_order<Record>();
    struct Row {
        std::string_view key, description;
        CellText value, fallback;
        bool same = false;
    };
    std::array<Row, order.size()> rows;
    const Record defaults{};
    std::string scratch;
    scratch.reserve(256);
    std::size_t index = 0;
    for_each_field<Record>([&](const auto& field) {
        const auto& value = record.*(field.member);
        const auto& fallback = defaults.*(field.member);
        rows[index++] = {field.name, field.description, cell_text(value, scratch), cell_text(fallback, scratch),
                         same_form(value, fallback)};
    });

    ConsoleTable table;
    table.reserve(order.size() + 1, summary_columns);
    if (changed_only && std::ranges::all_of(rows, [](const Row& row) { return row.same; })) return;
    table.add_viewed_row({"Key", "Value", "Default", "Set by User?", "Description"});
    for (const std::size_t field : order) {
        const Row& row = rows[field];
        if (changed_only && row.same) continue;
        table.add_viewed_row(
            {row.key, row.value.in(scratch), row.fallback.in(scratch), row.same ? "No" : "Yes", row.description});
    }

    out.append("[");
    out.append(name);
    out.append("]\n");
    render_console(table, out);
    out.append("\n\n");
}

template <class Record>
SummarySection section_rows(std::string_view name, const Record& record) {
    static constexpr auto order = row_order<Record>();
    std::array<SummaryRow, order.size()> rows;
    const Record defaults{};
    std::size_t index = 0;
    for_each_field<Record>([&](const auto& field) {
        const auto& value = record.*(field.member);
        const auto& fallback = defaults.*(field.member);
        SummaryRow& row = rows[index++];
        row.key = field.name;
        row.description = field.description;
        append_json_text(row.value, value);
        append_json_text(row.fallback, fallback);
        row.set_by_user = !same_form(value, fallback);
    });
    SummarySection section{name, {}};
    for (const std::size_t field : order) section.rows.push_back(std::move(rows[field]));
    return section;
}

} // namespace

std::vector<SummarySection> summary_rows(const Configuration& configuration) {
    std::vector<SummarySection> sections;
    for_each_section([&](const auto& section) {
        if (const auto* record = find_record(configuration, section)) sections.push_back(section_rows(section.name, *record));
    });
    return sections;
}

void write_summary(const Configuration& configuration, PieceWriter& out, bool changed_only) {
    out.append("\n[Configuration Summary]\n\n");
    for_each_section([&](const auto& section) {
        if (!out.taken()) return;
        if (const auto* record = find_record(configuration, section)) write_section(out, section.name, *record, changed_only);
    });
}

} // namespace qarv
