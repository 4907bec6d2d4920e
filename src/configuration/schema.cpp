// Building the schema documents of the section records.
#include "configuration/schema.hpp"

#include <cstdint>
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
    } else if constexpr (std::is_same_v<T, bool>) {
        return {{"type", "boolean"}};
    } else if constexpr (std::is_same_v<T, std::string>) {
        return {{"type", "string"}};
    } else if constexpr (std::is_same_v<T, float>) {
        return {{"type", "number"}, {"format", "float"}};
    } else if constexpr (std::is_same_v<T, std::uint8_t>) {
        return {{"type", "integer"}, {"format", "uint8"}, {"minimum", std::uint64_t{0}},
                {"maximum", std::uint64_t{255}}};
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        return {{"type", "integer"}, {"format", "uint"}, {"minimum", std::uint64_t{0}}};
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        return {{"type", "integer"}, {"format", "int32"}};
    } else {
        static_assert(!sizeof(T), "a record field has a type without a schema");
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

std::optional<json> schema_document_named(std::string_view record_name) {
    std::optional<json> found;
    auto match = [&]<class Record>() {
        if (!found && record_name == Describe<Record>::name) found = schema_document<Record>();
    };
    for_each_section([&]<class Record, class Member>(const Section<Record, Member>&) { match.operator()<Record>(); });
    return found;
}

json configuration_schema_document() {
    json properties = json::object();
    const auto add = [&]<class Record>(std::string_view table) {
        json section = schema_document<Record>();
        section.erase("$schema");
        section["additionalProperties"] = false;
        properties[std::string(table)] = std::move(section);
    };
    std::string_view load_name;
    for_each_section([&]<class Record, class Member>(const Section<Record, Member>& section) {
        add.operator()<Record>(section.name);
        if constexpr (std::is_same_v<Member, LoadConfig>) load_name = section.name;
    });

    json& load = properties[std::string(load_name)];
    load["properties"][std::string(LoadConfig::tag)] = {
        {"const", std::string(LoadConfig::onnx_variant)},
        {"description", "The kind of model to load; required whenever the table is present."},
    };
    load["required"] = json::array({std::string(LoadConfig::tag)});

    return {
        {"$schema", std::string(draft_2020_12)},
        {"title", "qarv-convert configuration"},
        {"type", "object"},
        {"properties", std::move(properties)},
        {"additionalProperties", false},
    };
}

} // namespace qarv
