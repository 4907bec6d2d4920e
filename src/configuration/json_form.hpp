// The JSON form of field values: none as null, floats widened to double, integers by signedness.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>

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
    } else if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, std::string>) {
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

} // namespace qarv
