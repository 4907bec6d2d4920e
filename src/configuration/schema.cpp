// The schema limits and the whole-file document built from the section documents.
#include "configuration/schema.hpp"

#include <cstdint>
#include <limits>
#include <optional>
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

namespace {

/// Holds `T` apart from the `std::optional` around it.
template <class T>
struct without_optional {
    using type = T;
};
template <class T>
struct without_optional<std::optional<T>> {
    using type = T;
};

/// What the whole-file document adds to the keys of one section: hover documentation for
/// editors (`x-taplo`: the description and the default), the range loading holds a 32-bit
/// integer to, and the advised limits of each key.
template <class Record>
void add_editor_annotations(json& properties) {
    const Record defaults{};
    for_each_field<Record>([&](const auto& field) {
        using Value = typename without_optional<std::remove_cvref_t<decltype(defaults.*(field.member))>>::type;
        json& property = properties[std::string(field.name)];
        const json value = json_value(defaults.*(field.member));
        json docs = {{"defaultValue", value.is_null() ? std::string("not set") : "`" + value.dump() + "`"}};
        if (!field.description.empty()) docs["main"] = std::string(field.description);
        property["x-taplo"] = {{"docs", std::move(docs)}};
        if constexpr (std::is_same_v<Value, std::int32_t>) {
            property["minimum"] = bound(std::numeric_limits<std::int32_t>::min());
            property["maximum"] = bound(std::numeric_limits<std::int32_t>::max());
        }
        detail::apply_limits(property, field.advised);
    });
}

} // namespace

json configuration_schema_document() {
    json properties = json::object();
    const auto add = [&]<class Record>(std::string_view table) {
        json section = schema_document<Record>();
        section.erase("$schema");
        section["additionalProperties"] = false;
        add_editor_annotations<Record>(section["properties"]);
        properties[std::string(table)] = std::move(section);
    };
    for_each_section([&](const auto& section) {
        add.template operator()<typename std::remove_cvref_t<decltype(section)>::record_type>(section.name);
        if (section.tag.key.empty()) return;
        json& table = properties[std::string(section.name)];
        table["properties"][std::string(section.tag.key)] = {
            {"const", std::string(section.tag.variant)},
            {"description", std::string(section.tag.description)},
            {"x-taplo", {{"docs", {{"main", std::string(section.tag.description)}}}}},
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
