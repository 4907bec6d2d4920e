// One section of the configuration summary: its rows and the text it is printed as.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "configuration/json_form.hpp"
#include "configuration/schema.hpp"
#include "table/console_table.hpp"

namespace qarv {

/// The member `key` of a JSON form, or null when the form has no such member.
nlohmann::json field_json(const nlohmann::json& form, std::string_view key);

/// The section's table: the header row, then one row per property of `schema`, in the byte order
/// of the property names, showing the member of `value_form` beside that of `default_form`.
ConsoleTable section_table(const nlohmann::json& schema, const nlohmann::json& value_form,
                           const nlohmann::json& default_form);

/// A section as the three pieces it is printed in: the heading line, the table with its line
/// feed, and the blank line after it, which the summary writes one after the other.
using SectionText = std::array<std::string, 3>;

SectionText section_text(std::string_view name, const ConsoleTable& table);

/// The section `name` whose values are `record`, measured against `Record`'s default record.
template <class Record>
SectionText explain_section(std::string_view name, const Record& record) {
    return section_text(name, section_table(schema_document<Record>(), json_form(record), json_form(Record{})));
}

/// The whole summary in the pieces it is printed in: the heading, then each section's three
/// pieces, in the fixed section order; `[accuracy_analysis]` only when the file has that table.
/// `emit(std::string_view) -> bool` takes each piece as it is made, so that text already made
/// stays out if a later step fails; when it returns false the summary stops there. Returns
/// whether every piece was taken.
template <class Emit>
bool summary_pieces(const Configuration& configuration, Emit&& emit) {
    if (!emit(std::string_view("\n[Configuration Summary]\n\n"))) return false;
    bool taken = true;
    for_each_section([&](const auto& section) {
        if (!taken) return;
        if (const auto* record = find_record(configuration, section))
            for (const std::string& piece : explain_section(section.name, *record))
                if (taken && !emit(std::string_view(piece))) taken = false;
    });
    return taken;
}

} // namespace qarv
