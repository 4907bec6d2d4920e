// The configuration summary: one table per section, written in bounded pieces.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "configuration/records.hpp"
#include "table/piece_writer.hpp"

namespace qarv {

/// Writes the whole summary into `out`: the heading, then per section its heading line, its
/// table with a line feed and a blank line, in the fixed section order, `[accuracy_analysis]`
/// only when the file has that table. The rows come straight from each record's key
/// declarations, in byte order of key. Drawing stops once `out` is refused. With `changed_only`,
/// only the rows whose value differs from the default are drawn, and tables without one not at all.
void write_summary(const Configuration& configuration, PieceWriter& out, bool changed_only = false);

/// One row of a summary table as data: the key, the JSON texts of the value in force and of the
/// default (as the table's cells write non-string values), whether they differ, the description.
struct SummaryRow {
    std::string_view key;
    std::string value;
    std::string fallback;
    bool set_by_user = false;
    std::string_view description;
};

/// The rows of one section's table, in the table's order.
struct SummarySection {
    std::string_view name;
    std::vector<SummaryRow> rows;
};

/// The summary's tables as data: the same sections and rows, in the same order, that
/// `write_summary` draws.
std::vector<SummarySection> summary_rows(const Configuration& configuration);

/// The whole summary in pieces of at most `PieceWriter::piece_limit` bytes, each passed to
/// `emit(std::string_view) -> bool` as soon as it is full (a typical summary is one piece); when
/// `emit` returns false the summary stops there. Text made before a failure is still handed on,
/// so that what was made stays out. Returns whether every piece was taken.
template <class Emit>
bool summary_pieces(const Configuration& configuration, Emit&& emit, bool changed_only = false) {
    auto forward = [&](std::string_view piece) -> bool { return emit(piece); };
    PieceWriter out(forward);
    try {
        write_summary(configuration, out, changed_only);
    } catch (...) {
        out.flush();
        throw;
    }
    return out.flush();
}

} // namespace qarv
