// What each value type of a record field is: its schema, its "expected ..." wording and its JSON form.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace qarv {

/// Field value types are built from scalars with `std::optional` and `std::vector`; the uses of
/// the declaration take them apart with these.
template <class T>
inline constexpr bool is_optional_v = false;
template <class T>
inline constexpr bool is_optional_v<std::optional<T>> = true;

template <class T>
inline constexpr bool is_vector_v = false;
template <class T>
inline constexpr bool is_vector_v<std::vector<T>> = true;

/// The four kinds of scalar a field can hold; every use dispatches on these, never on a C++ type.
enum class Scalar { boolean, string, integer, floating };

/// The type members of a scalar's property schema.
struct TypeSchema {
    std::string_view type;
    std::string_view format = {};
    std::optional<std::uint64_t> minimum = std::nullopt;
    std::optional<std::uint64_t> maximum = std::nullopt;
};

/// One trait per value type. Scalars state their kind, the name an error message expects them
/// by, that name in plain words for the hints under a report (empty: the name says it) and their
/// schema; the list and optional rules build on the element's trait.
template <class T>
struct ValueType;

template <>
struct ValueType<bool> {
    static constexpr Scalar kind = Scalar::boolean;
    static constexpr std::string_view expected = "a boolean";
    static constexpr std::string_view in_words = "";
    static constexpr TypeSchema schema{"boolean"};
};

template <>
struct ValueType<std::string> {
    static constexpr Scalar kind = Scalar::string;
    static constexpr std::string_view expected = "a string";
    static constexpr std::string_view in_words = "";
    static constexpr TypeSchema schema{"string"};
};

template <>
struct ValueType<std::uint8_t> {
    static constexpr Scalar kind = Scalar::integer;
    static constexpr std::string_view expected = "u8";
    static constexpr std::string_view in_words = "an integer from 0 to 255";
    static constexpr TypeSchema schema{"integer", "uint8", 0, 255};
};

template <>
struct ValueType<std::int32_t> {
    static constexpr Scalar kind = Scalar::integer;
    static constexpr std::string_view expected = "i32";
    static constexpr std::string_view in_words = "an integer from -2147483648 to 2147483647";
    static constexpr TypeSchema schema{"integer", "int32"};
};

template <>
struct ValueType<std::uint64_t> {
    static constexpr Scalar kind = Scalar::integer;
    static constexpr std::string_view expected = "usize";
    static constexpr std::string_view in_words = "an integer from 0 to 18446744073709551615";
    static constexpr TypeSchema schema{"integer", "uint", 0};
};

template <>
struct ValueType<float> {
    static constexpr Scalar kind = Scalar::floating;
    static constexpr std::string_view expected = "f32";
    static constexpr std::string_view in_words = "a number";
    static constexpr TypeSchema schema{"number", "float"};
};

/// The most elements one list of a configuration holds. No model has more inputs, outputs,
/// dimensions or channels; a longer list is a mistake or an attack, and refusing it while it is
/// mapped keeps a file of millions of elements from becoming millions of values.
inline constexpr std::size_t max_list_length = 65536;

/// A list: an array of its elements' schema.
template <class T>
struct ValueType<std::vector<T>> {
    static constexpr std::string_view expected = "a sequence";
    static constexpr std::string_view too_long = "a sequence of at most 65536 elements";
    static_assert(max_list_length == 65536, "the wording above states the limit");
    static constexpr std::string_view in_words = "a list, as in [1, 2]";
};

/// An optional value is read and described as its value, its schema's outer type admitting null.
template <class T>
struct ValueType<std::optional<T>> {
    static constexpr std::string_view expected = ValueType<T>::expected;
    static constexpr std::string_view in_words = ValueType<T>::in_words;
};

/// Whether a scalar type is read as an unsigned number, so that JSON equality tells its values
/// apart from signed ones.
template <class T>
inline constexpr bool unsigned_scalar_v = ValueType<T>::kind == Scalar::integer && std::is_unsigned_v<T>;

/// Writes the JSON form of a field value into `out`: none as null, lists as arrays, floats
/// widened to double and non-finite ones as null, integers unsigned or signed by their type.
/// `out` offers `null()`, `boolean(bool)`, `string(const std::string&)`,
/// `unsigned_integer(std::uint64_t)`, `signed_integer(std::int64_t)`, `number(double)`,
/// `begin_array()` and `end_array()`. The one definition of the form: the schema's defaults, the
/// summary's cells and its "Set by User?" comparison are all made through it.
template <class T, class Out>
void write_json_form(const T& value, Out& out) {
    if constexpr (is_optional_v<T>) {
        if (value) write_json_form(*value, out);
        else out.null();
    } else if constexpr (is_vector_v<T>) {
        out.begin_array();
        for (const auto& element : value) write_json_form(element, out);
        out.end_array();
    } else if constexpr (ValueType<T>::kind == Scalar::boolean) {
        out.boolean(value);
    } else if constexpr (ValueType<T>::kind == Scalar::string) {
        out.string(value);
    } else if constexpr (ValueType<T>::kind == Scalar::integer) {
        if constexpr (std::is_unsigned_v<T>) out.unsigned_integer(value);
        else out.signed_integer(value);
    } else {
        // Widening is exact; JSON has no spelling for NaN or the infinities.
        const double widened = static_cast<double>(value);
        if (std::isfinite(widened)) out.number(widened);
        else out.null();
    }
}

} // namespace qarv
