// Rows and text of one summary section.
#include "section/section_report.hpp"

#include "section/json_text.hpp"

namespace qarv {

using nlohmann::json;

json field_json(const json& form, std::string_view key) {
    if (!form.is_object()) return nullptr;
    const auto member = form.find(key);
    return member == form.end() ? json(nullptr) : *member;
}

ConsoleTable section_table(const json& schema, const json& value_form, const json& default_form) {
    ConsoleTable table;
    table.add_row({"Key", "Value", "Default", "Set by User?", "Description"});
    const auto properties = schema.find("properties");
    if (properties == schema.end() || !properties->is_object()) return table;
    // Object members iterate in ascending byte order of key, which is the row order.
    for (auto property = properties->begin(); property != properties->end(); ++property) {
        const std::string& key = property.key();
        const json value = field_json(value_form, key);
        const json fallback = field_json(default_form, key);
        std::string description;
        if (property->is_object()) {
            const auto text = property->find("description");
            if (text != property->end() && text->is_string()) description = text->get<std::string>();
        }
        table.add_row({key, cell_text(value), cell_text(fallback), json_equal(value, fallback) ? "No" : "Yes",
                       std::move(description)});
    }
    return table;
}

SectionText section_text(std::string_view name, const ConsoleTable& table) {
    std::string heading = "[";
    heading += name;
    heading += "]\n";
    return {std::move(heading), render_console(table) + "\n", "\n"};
}

} // namespace qarv
