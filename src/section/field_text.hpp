// Summary cell texts and the "Set by User?" equality, read from record fields as their JSON forms give them.
#pragma once

#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "configuration/records.hpp"
#include "text/float_text.hpp"
#include "text/quoted.hpp"

namespace qarv {

/// Whether a field value's JSON form is null: an absent optional, or a NaN or infinite float.
template <class T>
bool null_form(const T& value) {
    if constexpr (is_optional_v<T>) return !value || null_form(*value);
    else if constexpr (std::is_same_v<T, float>) return !std::isfinite(value);
    else return false;
}

/// Appends the compact JSON text of a field value's JSON form: no spaces, strings quoted and
/// escaped, floats widened to double in the summary's layout, null for none and non-finite.
template <class T>
void append_json_text(std::string& out, const T& value) {
    if (null_form(value)) {
        out += "null";
    } else if constexpr (is_optional_v<T>) {
        append_json_text(out, *value);
    } else if constexpr (is_vector_v<T>) {
        out += '[';
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (i > 0) out += ',';
            append_json_text(out, value[i]);
        }
        out += ']';
    } else if constexpr (std::is_same_v<T, bool>) {
        out += value ? "true" : "false";
    } else if constexpr (std::is_same_v<T, std::string>) {
        append_quoted(out, value);
    } else if constexpr (std::is_same_v<T, float>) {
        append_json_float(out, static_cast<double>(value));
    } else if constexpr (std::is_integral_v<T>) {
        char digits[24];
        out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    } else {
        static_assert(!sizeof(T), "a record field has a type without a JSON form");
    }
}

/// The text of a field value's string form when there is one (a string, or a present optional
/// string): a cell shows it bare, as it stands. Null for every other value.
template <class T>
const std::string* bare_string(const T& value) {
    if constexpr (std::is_same_v<T, std::string>) return &value;
    else if constexpr (std::is_same_v<T, std::optional<std::string>>) return value ? &*value : nullptr;
    else return nullptr;
}

/// Whether two values of one field have equal JSON forms: null equals only null, lists match
/// element by element, and otherwise the values themselves compare. One field has one type, so
/// the number classes of its forms (non-negative, negative, float) agree exactly when the values
/// do, and floats compare as the doubles they widen to.
template <class T>
bool same_form(const T& a, const T& b) {
    const bool a_null = null_form(a);
    const bool b_null = null_form(b);
    if (a_null || b_null) return a_null && b_null;
    if constexpr (is_optional_v<T>) {
        return same_form(*a, *b);
    } else if constexpr (is_vector_v<T>) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (!same_form(a[i], b[i])) return false;
        return true;
    } else {
        return a == b;
    }
}

} // namespace qarv
