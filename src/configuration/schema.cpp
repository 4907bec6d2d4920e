// The schema limits and the whole-file document built from the section documents.
#include "configuration/schema.hpp"

#include <cstdint>
#include <string>
#include <type_traits>

namespace qarv {
namespace {

using nlohmann::json;

/// Whether the schema's `type` is `name` or a list that holds it.
bool type_admits(const json& schema, std::string_view name) {
    const auto type = schema.find("type");
    if (type == schema.end()) return false;
    if (type->is_string()) return type->get_ref<const std::string&>() == name;
    if (type->is_array())
        for (const json& entry : *type)
            if (entry.is_string() && entry.get_ref<const std::string&>() == name) return true;
    return false;
}

/// Bounds keep the integer forms that the type's own bounds have, so that `minimum` 0 stays the
/// unsigned integer 0 whichever way it came in.
json bound(std::int64_t value) {
    return value >= 0 ? json(static_cast<std::uint64_t>(value)) : json(value);
}

} // namespace

void detail::apply_limits(json& schema, const Limits& limits) {
    if (type_admits(schema, "integer") || type_admits(schema, "number")) {
        if (limits.minimum) schema["minimum"] = bound(*limits.minimum);
        if (limits.maximum) schema["maximum"] = bound(*limits.maximum);
    }
    if (limits.min_length) {
        if (type_admits(schema, "string")) schema["minLength"] = *limits.min_length;
        if (type_admits(schema, "array")) schema["minItems"] = *limits.min_length;
    }
}

json configuration_schema_document() {
    json properties = json::object();
    const auto add = [&]<class Record>(std::string_view table) {
        json section = schema_document<Record>();
        section.erase("$schema");
        section["additionalProperties"] = false;
        properties[std::string(table)] = std::move(section);
    };
    for_each_section([&](const auto& section) {
        add.template operator()<typename std::remove_cvref_t<decltype(section)>::record_type>(section.name);
        if (section.tag.key.empty()) return;
        json& table = properties[std::string(section.name)];
        table["properties"][std::string(section.tag.key)] = {
            {"const", std::string(section.tag.variant)},
            {"description", std::string(section.tag.description)},
        };
        table["required"] = json::array({std::string(section.tag.key)});
    });

    return {
        {"$schema", std::string(detail::draft_2020_12)},
        {"title", "qarv-convert configuration"},
        {"type", "object"},
        {"properties", std::move(properties)},
        {"additionalProperties", false},
    };
}

} // namespace qarv
