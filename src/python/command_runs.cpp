// convert, explain_to and summary_rows of `qarv_convert._native`, and the WriteError type.
#include "python/command_runs.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "python/arguments.hpp"
#include "python/bodies.hpp"
#include "python/configuration_fault.hpp"
#include "section/section_report.hpp"

namespace qarv {
namespace {

/// `qarv_convert._native.WriteError`, an `OSError` with the write's error number; made at import.
PyObject* write_error_type = nullptr;

/// `convert(path, overrides=())`: the conversion of `rust_convert`, with the overrides applied.
PyObject* convert_impl(PyObject* const* args, Py_ssize_t nargs) {
    if (!arguments_fit("convert", nargs, 1, 2)) return nullptr;
    std::optional<std::string> path = str_argument(args[0], "a path");
    if (!path) return nullptr;
    std::optional<std::vector<std::string>> overrides = override_texts(args, nargs, 1);
    if (!overrides) return nullptr;
    return raise_run_error(run_conversion(*path, *overrides), args[0]);
}

/// `explain_to(descriptor, path, overrides=(), changed_only=False)`: the summary written to
/// `descriptor`, with only the rows that differ from the default when `changed_only`.
PyObject* explain_to_impl(PyObject* const* args, Py_ssize_t nargs) {
    if (!arguments_fit("explain_to", nargs, 2, 4)) return nullptr;
    const std::optional<int> descriptor = descriptor_argument(args[0], "explain_to");
    if (!descriptor) return nullptr;
    std::optional<std::string> path = str_argument(args[1], "a path");
    if (!path) return nullptr;
    std::optional<std::vector<std::string>> overrides = override_texts(args, nargs, 2);
    if (!overrides) return nullptr;
    int write_error = 0;
    const int changed_only = nargs > 3 ? PyObject_IsTrue(args[3]) : 0;
    if (changed_only < 0) return nullptr;
    std::optional<ConversionError> error =
        write_summary_to(*descriptor, *path, *overrides, write_error, changed_only != 0);
    if (write_error != 0) {
        error.reset();
        PyRef arguments = adopt_or_fail(Py_BuildValue("(is)", write_error, std::strerror(write_error)));
        PyErr_SetObject(write_error_type, arguments.get());
        return nullptr;
    }
    return raise_run_error(std::move(error), args[1]);
}

/// `summary_rows(path, overrides=())`: the summary's tables as a list of `(section, rows)`, each
/// row `(key, value, default, set_by_user, description)` with value and default as JSON text.
PyObject* summary_rows_impl(PyObject* const* args, Py_ssize_t nargs) {
    if (!arguments_fit("summary_rows", nargs, 1, 2)) return nullptr;
    std::optional<std::string> path = str_argument(args[0], "a path");
    if (!path) return nullptr;
    std::optional<std::vector<std::string>> overrides = override_texts(args, nargs, 1);
    if (!overrides) return nullptr;
    PyResult<Configuration> loaded = load_or_stop(*path, *overrides);
    if (!loaded) return raise_run_error(std::move(loaded).error(), args[0]);
    PyRef sections = adopt_or_fail(PyList_New(0));
    for (const SummarySection& section : summary_rows(loaded.value())) {
        PyRef rows = adopt_or_fail(PyList_New(0));
        for (const SummaryRow& row : section.rows) {
            PyRef item = adopt_or_fail(PyTuple_New(5));
            PyTuple_SET_ITEM(item.get(), 0, make_str(row.key).release());
            PyTuple_SET_ITEM(item.get(), 1, make_str(row.value).release());
            PyTuple_SET_ITEM(item.get(), 2, make_str(row.fallback).release());
            PyTuple_SET_ITEM(item.get(), 3, Py_NewRef(row.set_by_user ? Py_True : Py_False));
            PyTuple_SET_ITEM(item.get(), 4, make_str(row.description).release());
            append(rows.get(), item.get());
        }
        PyRef pair = adopt_or_fail(PyTuple_New(2));
        PyTuple_SET_ITEM(pair.get(), 0, make_str(section.name).release());
        PyTuple_SET_ITEM(pair.get(), 1, rows.release());
        append(sections.get(), pair.get());
    }
    return sections.release();
}

} // namespace

/// Adds `WriteError` to the new module; false with the error set when it cannot.
bool add_write_error_type(PyObject* module) noexcept {
    if (!write_error_type)
        write_error_type = PyErr_NewExceptionWithDoc(
            "qarv_convert._native.WriteError", "The summary could not be written to its descriptor.",
            PyExc_OSError, nullptr);
    return write_error_type && PyModule_AddObjectRef(module, "WriteError", write_error_type) == 0;
}

PyMethodDef command_run_methods[] = {
    {"convert", guarded_fastcall<"qarv_convert._native", convert_impl>(), METH_FASTCALL,
     "convert(path, overrides=())\n--\n\nThe conversion, with SECTION.KEY=VALUE overrides over the file."},
    {"explain_to", guarded_fastcall<"qarv_convert._native", explain_to_impl>(), METH_FASTCALL,
     "explain_to(descriptor, path, overrides=(), changed_only=False)\n--\n\nThe configuration summary written to the descriptor."},
    {"summary_rows", guarded_fastcall<"qarv_convert._native", summary_rows_impl>(), METH_FASTCALL,
     "summary_rows(path, overrides=())\n--\n\nThe rows of the configuration summary's tables."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace qarv
