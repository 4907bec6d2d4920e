// Building the schema documents of the section records.
#include "configuration/schema.hpp"

#include <string>
#include <type_traits>

#include "configuration/json_form.hpp"

namespace qarv {
namespace {

using nlohmann::json;

/// The type members that a value of type `T` is described by.
template <class T>
json type_schema() {
    if constexpr (is_optional_v<T>) {
        // Only the outermost type admits null; the items of an optional list stay as they are.
        json schema = type_schema<typename T::value_type>();
        schema["type"] = json::array({schema["type"], "null"});
        return schema;
    } else if constexpr (is_vector_v<T>) {
        return {{"type", "array"}, {"items", type_schema<typename T::value_type>()}};
    } else {
        constexpr TypeSchema scalar = ValueType<T>::schema;
        json schema = {{"type", std::string(scalar.type)}};
        if (!scalar.format.empty()) schema["format"] = std::string(scalar.format);
        if (scalar.minimum) schema["minimum"] = *scalar.minimum;
        if (scalar.maximum) schema["maximum"] = *scalar.maximum;
        return schema;
    }
}

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

constexpr std::string_view draft_2020_12 = "https://json-schema.org/draft/2020-12/schema";

/// Bounds keep the integer forms that the type's own bounds have, so that `minimum` 0 stays the
/// unsigned integer 0 whichever way it came in.
json bound(std::int64_t value) {
    return value >= 0 ? json(static_cast<std::uint64_t>(value)) : json(value);
}

void apply_limits(json& schema, const Limits& limits) {
    if (type_admits(schema, "integer") || type_admits(schema, "number")) {
        if (limits.minimum) schema["minimum"] = bound(*limits.minimum);
        if (limits.maximum) schema["maximum"] = bound(*limits.maximum);
    }
    if (limits.min_length) {
        if (type_admits(schema, "string")) schema["minLength"] = *limits.min_length;
        if (type_admits(schema, "array")) schema["minItems"] = *limits.min_length;
    }
}

} // namespace

template <class Record>
json schema_document() {
    const Record defaults{};
    json document = {{"type", "object"}};
    json& properties = document["properties"];
    properties = json::object();
    for_each_field<Record>([&](const auto& field) {
        using Value = std::remove_cvref_t<decltype(defaults.*(field.member))>;
        json property = type_schema<Value>();
        if (!field.description.empty()) property["description"] = std::string(field.description);
        apply_limits(property, field.limits);
        property["default"] = json_value(defaults.*(field.member));
        properties[std::string(field.name)] = std::move(property);
    });
    document["title"] = std::string(Describe<Record>::name);
    document["$schema"] = std::string(draft_2020_12);
    return document;
}

template json schema_document<ConfigConfig>();
template json schema_document<OnnxLoadConfig>();
template json schema_document<BuildConfig>();
template json schema_document<AccuracyAnalysisConfig>();
template json schema_document<ExportConfig>();

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
        {"$schema", std::string(draft_2020_12)},
        {"title", "qarv-convert configuration"},
        {"type", "object"},
        {"properties", std::move(properties)},
        {"additionalProperties", false},
    };
}

} // namespace qarv
