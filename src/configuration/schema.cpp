// Building the schema documents of the section records.
#include "configuration/schema.hpp"

#include <cstdint>
#include <limits>
#include <optional>
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

/// Holds `T` apart from the `std::optional` around it.
template <class T>
struct without_optional {
    using type = T;
};
template <class T>
struct without_optional<std::optional<T>> {
    using type = T;
};

/// Loadable values that `check` warns about, stated as bounds in the whole-file document only.
struct Advisory {
    std::string_view section, key;
    std::int64_t minimum;
};
constexpr Advisory advisories[] = {{"build", "qarv_batch_size", 1}};

/// What the whole-file document adds to the keys of one section: hover documentation for
/// editors (`x-taplo`: the description and the default), the range loading holds a 32-bit
/// integer to, and the advisory bounds above.
template <class Record>
void add_editor_annotations(std::string_view section, json& properties) {
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
        for (const Advisory& advisory : advisories)
            if (advisory.section == section && advisory.key == field.name) property["minimum"] = bound(advisory.minimum);
    });
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
        add_editor_annotations<Record>(table, section["properties"]);
        properties[std::string(table)] = std::move(section);
    };
    std::string_view load_name;
    for_each_section([&]<class Record, class Member>(const Section<Record, Member>& section) {
        add.operator()<Record>(section.name);
        if constexpr (std::is_same_v<Member, LoadConfig>) load_name = section.name;
    });

    json& load = properties[std::string(load_name)];
    const std::string tag_description = "The kind of model to load; required whenever the table is present.";
    load["properties"][std::string(LoadConfig::tag)] = {
        {"const", std::string(LoadConfig::onnx_variant)},
        {"description", tag_description},
        {"x-taplo", {{"docs", {{"main", tag_description}}}}},
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
