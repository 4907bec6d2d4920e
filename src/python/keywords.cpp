// Turning section records into the keyword arguments of toolkit calls.
#include "python/keywords.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace qarv {
namespace {

/// A present configuration value as a new Python object. Nothing here can fail short of the
/// interpreter running out of memory, which `adopt_or_fail` turns into an internal failure.
template <class T>
PyRef to_python(const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        return PyRef::borrow(value ? Py_True : Py_False);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return make_str(value);
    } else if constexpr (std::is_same_v<T, float>) {
        // Widened exactly: the toolkit sees the single-precision value the file was read into.
        return adopt_or_fail(PyFloat_FromDouble(static_cast<double>(value)));
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        return adopt_or_fail(PyLong_FromUnsignedLongLong(value));
    } else if constexpr (std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::uint8_t>) {
        return adopt_or_fail(PyLong_FromLong(value));
    } else if constexpr (is_vector_v<T>) {
        PyRef list = adopt_or_fail(PyList_New(static_cast<Py_ssize_t>(value.size())));
        Py_ssize_t index = 0;
        for (const auto& element : value) PyList_SET_ITEM(list.get(), index++, to_python(element).release());
        return list;
    } else {
        static_assert(!sizeof(T), "no Python form for this configuration value type");
    }
}

/// Adds `value` under `name` when it holds something; `None` only when `always`.
template <class T>
void insert(KeywordArguments& keywords, PyObject* name, const T& value, bool always = false) {
    if constexpr (is_optional_v<T>) {
        if (value) keywords.add(name, to_python(*value));
        else if (always) keywords.add(name, PyRef::borrow(Py_None));
    } else {
        keywords.add(name, to_python(value));
    }
}

/// The interned names of `Record`'s keys, made once per process, in declaration order.
template <class Record>
const auto& key_names() {
    static const auto names = std::apply(
        [](const auto&... field) {
            return std::array<PyObject*, sizeof...(field)>{
                adopt_or_fail(PyUnicode_InternFromString(std::string(field.name).c_str())).release()...};
        },
        Describe<Record>::fields);
    return names;
}

/// The keywords of a record whose every key is a keyword of the same name.
template <class Record>
PyResult<KeywordArguments> uniform_keywords(const Record& section) {
    static_assert(std::tuple_size_v<decltype(Describe<Record>::fields)> <= KeywordArguments::capacity);
    KeywordArguments keywords;
    const auto& names = key_names<Record>();
    std::size_t index = 0;
    for_each_field<Record>([&](const auto& field) {
        insert(keywords, names[index++], section.*(field.member), field.send == Send::always);
    });
    return keywords;
}

/// `numpy.load(path)` as the list of arrays the toolkit expects: the members of an `.npz`
/// archive in its own order, or the one array of an `.npy` file.
PyResult<PyRef> load_initial_values(const std::string& path) {
    PyResult<PyRef> numpy = checked(PyImport_Import(interned<"numpy">()));
    if (!numpy) return std::move(numpy).error();
    PyResult<PyRef> load = get_attribute(numpy.value().get(), interned<"load">());
    if (!load) return std::move(load).error();

    PyRef file_name = make_str(path);
    PyObject* arguments[] = {file_name.get()};
    PyResult<PyRef> loaded = checked(PyObject_Vectorcall(load.value().get(), arguments, 1, nullptr));
    if (!loaded) return std::move(loaded).error();
    PyObject* data = loaded.value().get();

    PyRef values = adopt_or_fail(PyList_New(0));
    // Only an archive has `files`; anything else, array or not, is passed on as the one value.
    PyResult<PyRef> files = get_attribute(data, interned<"files">());
    if (!files) {
        ConversionError error = std::move(files).error();
        if (!PyErr_GivenExceptionMatches(error.exception.get(), PyExc_AttributeError)) return error;
        append(values.get(), data);
        return values;
    }
    PyResult<PyRef> names = checked(PyObject_GetIter(files.value().get()));
    if (!names) return std::move(names).error();
    while (PyRef name = PyRef::steal(PyIter_Next(names.value().get()))) {
        PyResult<PyRef> member = checked(PyObject_GetItem(data, name.get()));
        if (!member) return std::move(member).error();
        append(values.get(), member.value().get());
    }
    // A null from `PyIter_Next` is either the end or a failure of the iteration.
    if (PyErr_Occurred()) return take_raised_exception();
    return values;
}

} // namespace

PyRef KeywordArguments::names() const {
    if (size_ == 0) return PyRef();
    PyRef tuple = adopt_or_fail(PyTuple_New(static_cast<Py_ssize_t>(size_)));
    for (std::size_t i = 0; i < size_; ++i) PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names_[i]));
    return tuple;
}

PyResult<KeywordArguments> to_keyword_arguments(const ConfigConfig& section) { return uniform_keywords(section); }
PyResult<KeywordArguments> to_keyword_arguments(const BuildConfig& section) { return uniform_keywords(section); }
PyResult<KeywordArguments> to_keyword_arguments(const AccuracyAnalysisConfig& section) {
    return uniform_keywords(section);
}

PyResult<KeywordArguments> to_keyword_arguments(const OnnxLoadConfig& section) {
    KeywordArguments keywords;
    insert(keywords, interned<"inputs">(), section.inputs);
    insert(keywords, interned<"outputs">(), section.outputs);
    insert(keywords, interned<"input_size_list">(), section.input_size_list);
    if (section.input_initial_val_file) {
        PyResult<PyRef> arrays = load_initial_values(*section.input_initial_val_file);
        if (!arrays) return std::move(arrays).error();
        keywords.add(interned<"input_initial_val">(), std::move(arrays).value());
    }
    return keywords;
}

} // namespace qarv
