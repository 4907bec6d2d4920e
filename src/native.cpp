// `qarv_convert._native`: a private module that hands the command line the data only the C++ side
// has. It is not part of `qarv_convert_inner`, whose surface stays exactly its two functions.
#include <exception>
#include <string>
#include <vector>

#include "configuration/schema.hpp"
#include "python.hpp"
#include "section/json_text.hpp"
#include "table/console_table.hpp"

namespace qarv {
namespace {

/// The items of a list or tuple, or null with a `TypeError` naming what was expected.
PyRef sequence_items(PyObject* object, const char* expected) {
    if (!PyList_Check(object) && !PyTuple_Check(object)) {
        PyErr_Format(PyExc_TypeError, "expected %s, got '%s'", expected, Py_TYPE(object)->tp_name);
        return PyRef();
    }
    return PyRef::steal(PySequence_Fast(object, expected));
}

/// A `str` as UTF-8, or none with the interpreter's error set.
std::optional<std::string> utf8_text(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "expected a table cell of type 'str', got '%s'", Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (!text) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(size));
}

PyObject* render_table_impl(PyObject* rows_argument) {
    PyRef rows = sequence_items(rows_argument, "a list of rows");
    if (!rows) return nullptr;
    ConsoleTable table;
    const Py_ssize_t row_count = PySequence_Fast_GET_SIZE(rows.get());
    for (Py_ssize_t r = 0; r < row_count; ++r) {
        PyRef cells = sequence_items(PySequence_Fast_GET_ITEM(rows.get(), r), "a row as a list of str");
        if (!cells) return nullptr;
        std::vector<std::string> row;
        const Py_ssize_t cell_count = PySequence_Fast_GET_SIZE(cells.get());
        for (Py_ssize_t c = 0; c < cell_count; ++c) {
            std::optional<std::string> text = utf8_text(PySequence_Fast_GET_ITEM(cells.get(), c));
            if (!text) return nullptr;
            row.push_back(std::move(*text));
        }
        table.add_row(std::move(row));
    }
    return make_str(render_console(table)).release();
}

PyObject* schema_document_impl(PyObject* name_argument) {
    if (!PyUnicode_Check(name_argument)) {
        PyErr_Format(PyExc_TypeError, "expected a record name of type 'str', got '%s'",
                     Py_TYPE(name_argument)->tp_name);
        return nullptr;
    }
    std::optional<std::string> name = utf8_text(name_argument);
    if (!name) return nullptr;
    std::optional<nlohmann::json> document = schema_document_named(*name);
    if (!document) {
        PyErr_Format(PyExc_ValueError, "no section record is named %R", name_argument);
        return nullptr;
    }
    return make_str(compact_json(*document)).release();
}

/// The edge of each function: a broken invariant in the plain C++ (a `std::logic_error` from the
/// renderer) or an `InternalFailure` raises `PanicException`, as in the main module.
template <PyObject* (*Body)(PyObject*)>
PyObject* guarded(PyObject*, PyObject* argument) noexcept {
    try {
        return Body(argument);
    } catch (const std::exception& failure) {
        raise_panic(failure.what());
    } catch (...) {
        raise_panic("internal failure without a message");
    }
    return nullptr;
}

PyMethodDef native_methods[] = {
    {"render_table", guarded<render_table_impl>, METH_O,
     "render_table(rows)\n--\n\nThe rows of text cells drawn as a console table."},
    {"schema_document", guarded<schema_document_impl>, METH_O,
     "schema_document(name)\n--\n\nThe schema document of the named section record, as compact JSON."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef native_definition = {
    PyModuleDef_HEAD_INIT, "qarv_convert._native", "", -1, native_methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace
} // namespace qarv

PyMODINIT_FUNC PyInit__native() noexcept { return PyModule_Create(&qarv::native_definition); }
