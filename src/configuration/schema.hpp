// JSON Schema (draft 2020-12) documents of the section records, derived from their declaration.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

#include "configuration/json_form.hpp"
#include "configuration/records.hpp"

namespace qarv {
namespace detail {

using nlohmann::json;

inline constexpr std::string_view draft_2020_12 = "https://json-schema.org/draft/2020-12/schema";

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

/// Sets the bounds and lengths of `limits` that the schema's type admits.
void apply_limits(json& schema, const Limits& limits);

} // namespace detail

/// The schema document of `Record`, built fresh on every call.
template <class Record>
nlohmann::json schema_document() {
    const Record defaults{};
    nlohmann::json document = {{"type", "object"}};
    nlohmann::json& properties = document["properties"];
    properties = nlohmann::json::object();
    for_each_field<Record>([&](const auto& field) {
        using Value = std::remove_cvref_t<decltype(defaults.*(field.member))>;
        nlohmann::json property = detail::type_schema<Value>();
        if (!field.description.empty()) property["description"] = std::string(field.description);
        detail::apply_limits(property, field.limits);
        property["default"] = json_value(defaults.*(field.member));
        properties[std::string(field.name)] = std::move(property);
    });
    document["title"] = std::string(Describe<Record>::name);
    document["$schema"] = std::string(detail::draft_2020_12);
    return document;
}

/// One document for a whole configuration file, composed from the section documents: each table
/// under its name, a tagged table with its tag fixed to the one variant, and no key beyond the
/// known ones, so that editors flag the typos that loading would silently pass over.
nlohmann::json configuration_schema_document();

} // namespace qarv
