// Turning section records into toolkit keyword dictionaries, generically over their declarations.
#include "configuration/keywords.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "python.hpp"

namespace qarv {
namespace {

/// A present configuration value as a new Python object. Nothing here can fail short of the
/// interpreter running out of memory, which `created` turns into an internal failure.
template <class T>
PyRef to_python(const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        return PyRef::borrow(value ? Py_True : Py_False);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return make_str(value);
    } else if constexpr (std::is_same_v<T, float>) {
        // Widened exactly: the toolkit sees the single-precision value the file was read into.
        return created(PyFloat_FromDouble(static_cast<double>(value)));
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        return created(PyLong_FromUnsignedLongLong(value));
    } else if constexpr (std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::uint8_t>) {
        return created(PyLong_FromLong(value));
    } else if constexpr (is_vector_v<T>) {
        PyRef list = created(PyList_New(0));
        for (const auto& element : value) append(list.get(), to_python(element));
        return list;
    } else {
        static_assert(!sizeof(T), "no Python form for this configuration value type");
    }
}

/// `numpy.load(path)` as the list of arrays the toolkit expects: the members of an `.npz`
/// archive in its own order, or the one array of an `.npy` file.
PyResult<PyRef> load_initial_values(const std::string& path) {
    PyRef module_name = interned("numpy");
    PyResult<PyRef> numpy = checked(PyImport_Import(module_name.get()));
    if (!numpy) return std::move(numpy).error();
    PyResult<PyRef> load = get_attribute(numpy.value().get(), "load");
    if (!load) return std::move(load).error();

    PyRef file_name = make_str(path);
    PyObject* arguments[] = {file_name.get()};
    PyResult<PyRef> loaded = checked(PyObject_Vectorcall(load.value().get(), arguments, 1, nullptr));
    if (!loaded) return std::move(loaded).error();
    PyObject* data = loaded.value().get();

    PyRef values = created(PyList_New(0));
    // Only an archive has `files`; anything else, array or not, is passed on as the one value.
    PyResult<PyRef> files = get_attribute(data, "files");
    if (!files) {
        ConversionError error = std::move(files).error();
        if (!PyErr_GivenExceptionMatches(error.exception.get(), PyExc_AttributeError)) return error;
        append(values.get(), PyRef::borrow(data));
        return values;
    }
    PyResult<PyRef> names = checked(PyObject_GetIter(files.value().get()));
    if (!names) return std::move(names).error();
    while (PyRef name = PyRef::steal(PyIter_Next(names.value().get()))) {
        PyResult<PyRef> member = checked(PyObject_GetItem(data, name.get()));
        if (!member) return std::move(member).error();
        append(values.get(), std::move(member).value());
    }
    // A null from `PyIter_Next` is either the end or a failure of the iteration.
    if (PyErr_Occurred()) return take_raised_exception();
    return values;
}

/// The keyword dictionary of any section record, following its declaration: the step's keyword
/// order, each field's way of being sent and its keyword name.
template <class Record>
PyResult<PyRef> keyword_dictionary(const Record& section) {
    PyRef keywords = created(PyDict_New());
    std::optional<ConversionError> failure;
    for_each_keyword_field<Record>([&](const auto& field) {
        if (failure || field.send == Send::positionally) return;
        using Value = std::remove_cvref_t<decltype(section.*(field.member))>;
        const Value& value = section.*(field.member);
        const std::string_view name = field.keyword_name();

        if constexpr (std::is_same_v<Value, std::optional<std::string>>) {
            if (field.send == Send::loaded) {
                if (!value) return;
                PyResult<PyRef> arrays = load_initial_values(*value);
                if (!arrays) {
                    failure = std::move(arrays).error();
                    return;
                }
                set_item(keywords.get(), name, std::move(arrays).value());
                return;
            }
        }
        if (field.send == Send::loaded) throw InternalFailure("only a file path can name loaded data");

        if constexpr (is_optional_v<Value>) {
            if (value) {
                set_item(keywords.get(), name, to_python(*value));
            } else if (field.send == Send::always) {
                set_item(keywords.get(), name, PyRef::borrow(Py_None));
            }
        } else {
            set_item(keywords.get(), name, to_python(value));
        }
    });
    if (failure) return std::move(*failure);
    return keywords;
}

} // namespace

PyResult<PyRef> to_keyword_arguments(const ConfigConfig& section) { return keyword_dictionary(section); }
PyResult<PyRef> to_keyword_arguments(const OnnxLoadConfig& section) { return keyword_dictionary(section); }
PyResult<PyRef> to_keyword_arguments(const BuildConfig& section) { return keyword_dictionary(section); }
PyResult<PyRef> to_keyword_arguments(const AccuracyAnalysisConfig& section) {
    return keyword_dictionary(section);
}

} // namespace qarv
