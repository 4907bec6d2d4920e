// `qarv_convert._native`: a private module that hands the command line the data only the C++ side
// has. It is not part of `qarv_convert_inner`, whose surface stays exactly its two functions.
#include <optional>
#include <string>
#include <string_view>

#include "configuration/schema.hpp"
#include "loading/ignored_entries.hpp"
#include "loading/load_configuration.hpp"
#include "python/handle.hpp"
#include "python/panic.hpp"
#include "python/signals.hpp"

namespace qarv {
namespace {

/// A `str` argument, `what`, as UTF-8 text, or none with the interpreter's error set.
std::optional<std::string> utf8_text(PyObject* object, const char* what) {
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "expected %s of type 'str', got '%s'", what, Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    std::optional<std::string_view> text = qarv::utf8_text(object);
    if (!text) return std::nullopt;
    return std::string(*text);
}

/// The file named by the `str` argument, read as the conversion reads it, or none with the error
/// set: `RuntimeError` with the module's text for a read failure, the handler's exception when a
/// signal interrupted the read.
std::optional<std::string> read_or_raise(PyObject* path_argument) {
    std::optional<std::string> path = utf8_text(path_argument, "a path");
    if (!path) return std::nullopt;
    auto text = read_configuration_text(*path, stop_on_signal());
    if (!text) {
        if (text.error().kind != LoadError::Kind::interrupted)
            PyErr_SetString(PyExc_RuntimeError, text.error().message.c_str());
        return std::nullopt;
    }
    return std::move(text).value();
}

PyObject* configuration_schema_impl(PyObject*) {
    return make_str(configuration_schema_document().dump()).release();
}

/// Loads the file as the conversion would (its errors raise `RuntimeError` with the same text),
/// then lists the rendered warnings about the keys and tables that loading passed over.
PyObject* ignored_entries_impl(PyObject* path_argument) {
    std::optional<std::string> text = read_or_raise(path_argument);
    if (!text) return nullptr;
    auto checked = check_configuration(std::move(*text));
    if (!checked) {
        PyErr_SetString(PyExc_RuntimeError, render(checked.error()).c_str());
        return nullptr;
    }
    PyRef list = adopt_or_fail(PyList_New(0));
    for (const TomlError& warning : checked.value().warnings)
        append(list.get(), make_str(render(warning, "warning")).get());
    return list.release();
}

/// The edge of each function: an `InternalFailure` (a broken invariant in the plain C++, or the
/// interpreter out of memory) raises `PanicException`, as in the main module.
template <PyObject* (*Body)(PyObject*)>
PyObject* guarded(PyObject*, PyObject* argument) noexcept {
    return run_guarded("qarv_convert._native", [&] { return Body(argument); });
}

template <PyObject* (*Body)(PyObject*)>
PyObject* guarded_noargs(PyObject*, PyObject*) noexcept {
    return run_guarded("qarv_convert._native", [&] { return Body(nullptr); });
}

PyMethodDef native_methods[] = {
    {"configuration_schema", guarded_noargs<configuration_schema_impl>, METH_NOARGS,
     "configuration_schema()\n--\n\nThe schema document of a whole configuration file, as compact JSON."},
    {"ignored_entries", guarded<ignored_entries_impl>, METH_O,
     "ignored_entries(path)\n--\n\nWarnings about the keys and tables that the configuration ignores."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef native_definition = {
    PyModuleDef_HEAD_INIT, "qarv_convert._native", "", -1, native_methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace
} // namespace qarv

namespace qarv {
namespace {

/// `STEPS`: the toolkit steps in calling order, each as (table name, method name), from the
/// tables' declaration, so that the command line never lists them itself.
PyRef steps_tuple() {
    PyRef steps = adopt_or_fail(PyTuple_New(section_count));
    Py_ssize_t index = 0;
    for_each_section([&](const auto& section) {
        PyRef step = adopt_or_fail(PyTuple_New(2));
        PyTuple_SET_ITEM(step.get(), 0, make_str(section.name).release());
        PyTuple_SET_ITEM(step.get(), 1, make_str(section.method).release());
        PyTuple_SET_ITEM(steps.get(), index++, step.release());
    });
    return steps;
}

PyObject* create_module() {
    PyRef module = PyRef::steal(PyModule_Create(&native_definition));
    if (!module || PyModule_AddObjectRef(module.get(), "STEPS", steps_tuple().get()) < 0) return nullptr;
    return module.release();
}

} // namespace
} // namespace qarv

PyMODINIT_FUNC PyInit__native() noexcept { return qarv::run_guarded("qarv_convert._native", qarv::create_module); }
