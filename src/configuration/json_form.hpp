// The JSON form of section records: every key present, none as null, floats widened to double.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "configuration/records.hpp"

namespace qarv {

/// The JSON form of one field value. The number forms are chosen so that equality can tell
/// unsigned, signed and floating values apart: u8 and u64 are unsigned, i32 is signed.
template <class T>
nlohmann::json json_value(const T& value) {
    if constexpr (is_optional_v<T>) {
        return value ? json_value(*value) : nlohmann::json(nullptr);
    } else if constexpr (is_vector_v<T>) {
        nlohmann::json array = nlohmann::json::array();
        for (const auto& element : value) array.push_back(json_value(element));
        return array;
    } else if constexpr (std::is_same_v<T, bool>) {
        return nlohmann::json(value);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return nlohmann::json(value);
    } else if constexpr (std::is_same_v<T, float>) {
        // Widening is exact; JSON has no spelling for NaN or the infinities.
        const double widened = static_cast<double>(value);
        return std::isfinite(widened) ? nlohmann::json(widened) : nlohmann::json(nullptr);
    } else if constexpr (std::is_integral_v<T> && std::is_unsigned_v<T>) {
        return nlohmann::json(static_cast<std::uint64_t>(value));
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        return nlohmann::json(static_cast<std::int64_t>(value));
    } else {
        static_assert(!sizeof(T), "a record field has a type without a JSON form");
    }
}

/// The JSON form of a section record: one member per declared key.
template <class Record>
nlohmann::json json_form(const Record& record) {
    nlohmann::json object = nlohmann::json::object();
    for_each_field<Record>([&](const auto& field) {
        object[std::string(field.name)] = json_value(record.*(field.member));
    });
    return object;
}

/// `[load]` has the form of its ONNX variant; the tag `model_type` is not a key of it.
inline nlohmann::json json_form(const LoadConfig& load) { return json_form(load.onnx); }

} // namespace qarv
