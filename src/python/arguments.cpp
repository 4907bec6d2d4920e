// The argument helpers shared by the package's native module and the test hooks.
#include "python/arguments.hpp"

#include <climits>

namespace qarv {

PyRef sequence_items(PyObject* object, const char* expected) {
    if (!PyList_Check(object) && !PyTuple_Check(object)) {
        PyErr_Format(PyExc_TypeError, "expected %s, got '%s'", expected, Py_TYPE(object)->tp_name);
        return PyRef();
    }
    return PyRef::steal(PySequence_Fast(object, expected));
}

std::optional<int> descriptor_argument(PyObject* object, const char* function) {
    const long descriptor = PyLong_AsLong(object);
    if (descriptor == -1 && PyErr_Occurred()) return std::nullopt;
    if (descriptor < 0 || descriptor > INT_MAX) {
        PyErr_Format(PyExc_ValueError, "%s(): the descriptor is not a valid file descriptor", function);
        return std::nullopt;
    }
    return static_cast<int>(descriptor);
}

std::optional<std::string> str_argument(PyObject* object, const char* what) {
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "expected %s of type 'str', got '%s'", what, Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    std::optional<std::string_view> text = utf8_text(object);
    if (!text) return std::nullopt;
    return std::string(*text);
}

bool arguments_fit(const char* function, Py_ssize_t nargs, Py_ssize_t least, Py_ssize_t most) {
    if (nargs >= least && nargs <= most) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd to %zd arguments (%zd given)", function, least, most, nargs);
    return false;
}

std::optional<std::vector<std::string>> override_texts(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t at) {
    std::vector<std::string> texts;
    if (nargs <= at) return texts;
    PyRef items = sequence_items(args[at], "a list of overrides");
    if (!items) return std::nullopt;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        std::optional<std::string> text = str_argument(PySequence_Fast_GET_ITEM(items.get(), i), "an override");
        if (!text) return std::nullopt;
        texts.push_back(std::move(*text));
    }
    return texts;
}

} // namespace qarv
