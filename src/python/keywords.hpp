// The keyword arguments that each toolkit step receives, built from its section record.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "configuration/records.hpp"
#include "python/run_error.hpp"

namespace qarv {

/// The keyword arguments of one toolkit call in the form a vectorcall takes them: the values in
/// insertion order, and their names as a tuple. The method receives exactly what a dictionary of
/// the same items would give it, without the dictionary being built and taken apart again.
class KeywordArguments {
public:
    /// More than any section record has keys.
    static constexpr std::size_t capacity = 16;

    KeywordArguments() = default;
    KeywordArguments(KeywordArguments&& other) noexcept
        : names_(other.names_), values_(other.values_), size_(std::exchange(other.size_, 0)) {}
    KeywordArguments& operator=(KeywordArguments&&) = delete;
    ~KeywordArguments() {
        for (std::size_t i = 0; i < size_; ++i) Py_DECREF(values_[i]);
    }

    /// Takes over `value`. `name` must be interned and live for the process (see `interned`).
    void add(PyObject* name, PyRef value) noexcept {
        names_[size_] = name;
        values_[size_++] = value.release();
    }

    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    /// The values, borrowed, in order.
    [[nodiscard]] PyObject* const* values() const noexcept { return values_.data(); }
    /// A new tuple of the names, or null when there are none (the vectorcall form of "no keywords").
    [[nodiscard]] PyRef names() const;

private:
    std::array<PyObject*, capacity> names_{};
    std::array<PyObject*, capacity> values_{}; ///< owned, the first `size_`
    std::size_t size_ = 0;
};

/// `numpy.load(path)` as the list of arrays the toolkit expects: the members of an `.npz`
/// archive in its own order, or the one array of an `.npy` file.
PyResult<PyRef> load_initial_values(const std::string& path);

/// A present configuration value as a new Python object. Nothing here can fail short of the
/// interpreter running out of memory, which `adopt_or_fail` turns into `MemoryError` at the edge.
template <class T>
PyRef to_python(const T& value) {
    if constexpr (is_vector_v<T>) {
        PyRef list = adopt_or_fail(PyList_New(static_cast<Py_ssize_t>(value.size())));
        Py_ssize_t index = 0;
        for (const auto& element : value) PyList_SET_ITEM(list.get(), index++, to_python(element).release());
        return list;
    } else if constexpr (ValueType<T>::kind == Scalar::boolean) {
        return PyRef::borrow(value ? Py_True : Py_False);
    } else if constexpr (ValueType<T>::kind == Scalar::string) {
        return make_str(value);
    } else if constexpr (ValueType<T>::kind == Scalar::integer) {
        if constexpr (std::is_unsigned_v<T>) return adopt_or_fail(PyLong_FromUnsignedLongLong(value));
        else return adopt_or_fail(PyLong_FromLongLong(value));
    } else {
        // Widened exactly: the toolkit sees the single-precision value the file was read into.
        return adopt_or_fail(PyFloat_FromDouble(static_cast<double>(value)));
    }
}

/// A field value as a Python object, `None` for an optional that holds none.
template <class T>
PyRef to_python_or_none(const T& value) {
    if constexpr (is_optional_v<T>) return value ? to_python(*value) : PyRef::borrow(Py_None);
    else return to_python(value);
}

namespace detail {

/// The interned keyword names of `Record`'s fields, by field index, made once per process from
/// the declaration (null for a positional field).
template <class Record>
const auto& keyword_names() {
    static const auto names = std::apply(
        [](const auto&... field) {
            return std::array<PyObject*, sizeof...(field)>{
                field.keyword.send == Send::positional
                    ? nullptr
                    : adopt_or_fail(PyUnicode_InternFromString(std::string(field.keyword_name()).c_str())).release()...};
        },
        Describe<Record>::fields);
    return names;
}

/// Adds field `Index` of `section` under `name` as its declaration says: left out when it holds
/// none (unless always sent, as `None`), its value, or the arrays read from the file it names.
template <class Record, std::size_t Index>
std::optional<ConversionError> add_keyword(KeywordArguments& keywords, PyObject* name, const Record& section) {
    constexpr const auto& field = std::get<Index>(Describe<Record>::fields);
    const auto& value = section.*(field.member);
    if constexpr (field.keyword.pass == Pass::arrays_from_file) {
        static_assert(std::is_same_v<std::remove_cvref_t<decltype(value)>, std::optional<std::string>>,
                      "arrays are read from an optional path");
        if (!value) return std::nullopt;
        PyResult<PyRef> arrays = load_initial_values(*value);
        if (!arrays) return std::move(arrays).error();
        keywords.add(name, std::move(arrays).value());
    } else if constexpr (is_optional_v<std::remove_cvref_t<decltype(value)>>) {
        if (value) keywords.add(name, to_python(*value));
        else if (field.keyword.send == Send::always) keywords.add(name, PyRef::borrow(Py_None));
    } else {
        keywords.add(name, to_python(value));
    }
    return std::nullopt;
}

} // namespace detail

/// The keywords of the step of `Record`'s section, in the order the declaration gives them. Needs
/// the interpreter lock. The first failure (reading an initial-value file) ends the building.
template <class Record>
PyResult<KeywordArguments> to_keyword_arguments(const Record& section) {
    static constexpr auto order = keyword_fields<Record>();
    static_assert(order.size() <= KeywordArguments::capacity);
    const auto& names = detail::keyword_names<Record>();
    KeywordArguments keywords;
    std::optional<ConversionError> failure;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((failure ? void() : void(failure = detail::add_keyword<Record, order[I]>(keywords, names[order[I]], section))),
         ...);
    }(std::make_index_sequence<order.size()>());
    if (failure) return std::move(*failure);
    return keywords;
}

/// The step's one positional argument, from the field declared positional (`None` when it holds
/// none); null when the step takes none.
template <class Record>
PyRef positional_argument(const Record& section) {
    PyRef argument;
    for_each_field<Record>([&](const auto& field) {
        if (field.keyword.send == Send::positional) argument = to_python_or_none(section.*(field.member));
    });
    return argument;
}

} // namespace qarv
