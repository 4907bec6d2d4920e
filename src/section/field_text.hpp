// Summary cell texts and the "Set by User?" equality, read from record fields as their JSON forms give them.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

#include "configuration/value_types.hpp"
#include "text/float_text.hpp"
#include "text/quoted.hpp"

namespace qarv {

/// Writes what `write_json_form` gives as compact JSON text: no spaces, strings quoted with the
/// JSON escapes only (the table escapes what controls remain, after folding white space), floats
/// in the summary's layout.
class JsonText {
public:
    explicit JsonText(std::string& out) : out_(out) {}

    void null() { scalar("null"); }
    void boolean(bool value) { scalar(value ? "true" : "false"); }
    void string(const std::string& value) {
        separate();
        append_json_string(out_, value);
    }
    void unsigned_integer(std::uint64_t value) { digits(value); }
    void signed_integer(std::int64_t value) { digits(value); }
    void number(double value) {
        separate();
        append_json_float(out_, value);
    }
    void begin_array() {
        separate();
        out_ += '[';
        first_ = true;
    }
    void end_array() {
        out_ += ']';
        first_ = false;
    }

private:
    /// A comma before every value but the first of an array.
    void separate() {
        if (!first_) out_ += ',';
        first_ = false;
    }
    void scalar(std::string_view text) {
        separate();
        out_ += text;
    }
    template <class Integer>
    void digits(Integer value) {
        separate();
        char text[24];
        out_.append(text, std::to_chars(text, text + sizeof text, value).ptr);
    }

    std::string& out_;
    bool first_ = true;
};

/// Appends the compact JSON text of a field value's JSON form.
template <class T>
void append_json_text(std::string& out, const T& value) {
    JsonText text(out);
    write_json_form(value, text);
}

/// Whether a field value's JSON form is null: an absent optional, or a NaN or infinite float.
template <class T>
bool null_form(const T& value) {
    if constexpr (is_optional_v<T>) return !value || null_form(*value);
    else if constexpr (is_vector_v<T>) return false;
    else if constexpr (ValueType<T>::kind == Scalar::floating) return !std::isfinite(value);
    else return false;
}

/// The text of a field value's string form when there is one (a string, or a present optional
/// string): a cell shows it bare, as it stands. Null for every other value.
template <class T>
const std::string* bare_string(const T& value) {
    if constexpr (is_optional_v<T>) return value ? bare_string(*value) : nullptr;
    else if constexpr (is_vector_v<T>) return nullptr;
    else if constexpr (ValueType<T>::kind == Scalar::string) return &value;
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
