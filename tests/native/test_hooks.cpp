// `qarv_test_hooks`: the core's table drawing, schema documents and TOML reader opened to the tests.
// Built only with QARV_TEST_HOOKS for the test runs; the shipped package never holds it.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "configuration/schema.hpp"
#include "loading/toml_document.hpp"
#include "loading/toml_error.hpp"
#include "loading/load_configuration.hpp"
#include "python/handle.hpp"
#include "python/arguments.hpp"
#include "table/console_table.hpp"
#include "text/bounded.hpp"
#include "toml_json.hpp"

namespace qarv {
namespace {

PyObject* render_table_impl(PyObject* rows_argument) {
    PyRef rows = sequence_items(rows_argument, "a list of rows");
    if (!rows) return nullptr;
    std::vector<std::vector<std::string>> texts;
    const Py_ssize_t row_count = PySequence_Fast_GET_SIZE(rows.get());
    for (Py_ssize_t r = 0; r < row_count; ++r) {
        PyRef cells = sequence_items(PySequence_Fast_GET_ITEM(rows.get(), r), "a row as a list of str");
        if (!cells) return nullptr;
        std::vector<std::string>& row = texts.emplace_back();
        const Py_ssize_t cell_count = PySequence_Fast_GET_SIZE(cells.get());
        for (Py_ssize_t c = 0; c < cell_count; ++c) {
            std::optional<std::string> text = str_argument(PySequence_Fast_GET_ITEM(cells.get(), c), "a table cell");
            if (!text) return nullptr;
            row.push_back(std::move(*text));
        }
    }
    // The table views the texts, which stay put from here on.
    ConsoleTable table;
    for (const std::vector<std::string>& row : texts) {
        const std::vector<std::string_view> cells(row.begin(), row.end());
        table.add_viewed_row(cells);
    }
    std::string drawn;
    auto keep = [&](std::string_view piece) {
        drawn += piece;
        return true;
    };
    PieceWriter out(keep);
    render_console(table, out);
    out.flush();
    return make_str(drawn).release();
}

PyObject* schema_document_impl(PyObject* name_argument) {
    std::optional<std::string> name = str_argument(name_argument, "a record name");
    if (!name) return nullptr;
    std::optional<nlohmann::json> document;
    for_each_section([&](const auto& section) {
        using Record = typename std::remove_cvref_t<decltype(section)>::record_type;
        if (!document && *name == Describe<Record>::name) document = schema_document<Record>();
    });
    if (!document) {
        PyErr_Format(PyExc_ValueError, "no section record is named %R", name_argument);
        return nullptr;
    }
    return make_str(document->dump()).release();
}

/// The document of the file at the path, every root key kept, or none with `RuntimeError` set to
/// the loading message.
std::optional<toml::Document> document_at(PyObject* path_argument) {
    std::optional<std::string> path = str_argument(path_argument, "a path");
    if (!path) return std::nullopt;
    auto text = read_configuration_text(*path);
    if (!text) {
        PyErr_SetString(PyExc_RuntimeError, text.error().message.c_str());
        return std::nullopt;
    }
    auto document = toml::Document::parse(std::make_shared<const std::string>(std::move(text).value()));
    if (!document) {
        PyErr_SetString(PyExc_RuntimeError, render(document.error()).c_str());
        return std::nullopt;
    }
    return std::move(document).value();
}

/// The file's document in the toml-test JSON encoding, every root key kept; a file that does
/// not parse raises `RuntimeError` with the loading message.
PyObject* toml_test_json_impl(PyObject* path_argument) {
    std::optional<toml::Document> document = document_at(path_argument);
    if (!document) return nullptr;
    return make_str(toml::toml_test_json(*document)).release();
}

/// Where each value of the file stands: a JSON object from each value's path (keys joined by
/// dots, elements as `[i]`) to the text of its key's span (null for an element) and of its own.
PyObject* toml_spans_impl(PyObject* path_argument) {
    std::optional<toml::Document> document = document_at(path_argument);
    if (!document) return nullptr;
    const std::string& source = *document->text();
    const auto cut = [&](ByteSpan span) { return source.substr(span.start, span.end - span.start); };
    nlohmann::json out = nlohmann::json::object();
    std::vector<std::pair<toml::Value, std::string>> pending{{document->root(), ""}};
    while (!pending.empty()) {
        auto [value, at] = std::move(pending.back());
        pending.pop_back();
        if (value.is_table()) {
            for (const toml::Entry& entry : value.entries()) {
                std::string child = at.empty() ? std::string(entry.key) : at + "." + std::string(entry.key);
                out[child] = {cut(entry.key_span), cut(entry.value.span())};
                pending.emplace_back(entry.value, std::move(child));
            }
        } else if (value.is_array()) {
            std::size_t index = 0;
            for (const toml::Value& element : value.elements()) {
                std::string child = at + "[" + std::to_string(index++) + "]";
                out[child] = {nullptr, cut(element.span())};
                pending.emplace_back(element, std::move(child));
            }
        }
    }
    return make_str(out.dump()).release();
}

/// `(text, spans)`: bytes, and (start, end) pairs: each span's position as [line, column,
/// carets] twice, from `position_of` one by one and from `positions_of` all at once.
PyObject* text_positions_impl(PyObject* arguments) {
    const char* text = nullptr;
    Py_ssize_t length = 0;
    PyObject* list = nullptr;
    if (!PyArg_ParseTuple(arguments, "y#O!", &text, &length, &PyList_Type, &list)) return nullptr;
    const std::string_view source(text, static_cast<std::size_t>(length));
    std::vector<ByteSpan> spans;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        unsigned long long start = 0, end = 0;
        if (!PyArg_ParseTuple(PyList_GET_ITEM(list, i), "KK", &start, &end)) return nullptr;
        spans.push_back({start, end});
    }
    nlohmann::json single = nlohmann::json::array(), batched = nlohmann::json::array();
    for (const ByteSpan span : spans) {
        const TextPosition at = position_of(source, span);
        single.push_back({at.line, at.column, at.carets});
    }
    for (const TextPosition& at : positions_of(source, spans)) batched.push_back({at.line, at.column, at.carets});
    return make_str(nlohmann::json{single, batched}.dump()).release();
}

/// `quoted_name(text: bytes) -> bytes`: the text named as messages name it.
PyObject* quoted_name_impl(PyObject* arguments) {
    const char* text = nullptr;
    Py_ssize_t length = 0;
    if (!PyArg_ParseTuple(arguments, "y#", &text, &length)) return nullptr;
    const std::string quoted = quoted_name(std::string_view(text, static_cast<std::size_t>(length)));
    return PyBytes_FromStringAndSize(quoted.data(), static_cast<Py_ssize_t>(quoted.size()));
}

/// `line_window(line: bytes, column, carets) -> (bytes, column, carets)`: what an excerpt shows of the line.
PyObject* line_window_impl(PyObject* arguments) {
    const char* text = nullptr;
    Py_ssize_t length = 0, column = 0, carets = 0;
    if (!PyArg_ParseTuple(arguments, "y#nn", &text, &length, &column, &carets)) return nullptr;
    const LineWindow shown = line_window(std::string_view(text, static_cast<std::size_t>(length)),
                                         static_cast<std::size_t>(column), static_cast<std::size_t>(carets));
    return Py_BuildValue("(y#nn)", shown.text.data(), static_cast<Py_ssize_t>(shown.text.size()),
                         static_cast<Py_ssize_t>(shown.column), static_cast<Py_ssize_t>(shown.carets));
}

PyMethodDef hook_methods[] = {
    {"quoted_name", guarded<"qarv_test_hooks", quoted_name_impl>, METH_VARARGS,
     "quoted_name(text)\n--\n\nThe UTF-8 bytes named in backquotes as messages name them."},
    {"line_window", guarded<"qarv_test_hooks", line_window_impl>, METH_VARARGS,
     "line_window(line, column, carets)\n--\n\nThe window of a long line an excerpt shows, and where its carets fall."},
    {"render_table", guarded<"qarv_test_hooks", render_table_impl>, METH_O,
     "render_table(rows)\n--\n\nThe rows of text cells drawn as a console table."},
    {"schema_document", guarded<"qarv_test_hooks", schema_document_impl>, METH_O,
     "schema_document(name)\n--\n\nThe schema document of the named section record, as JSON text."},
    {"toml_test_json", guarded<"qarv_test_hooks", toml_test_json_impl>, METH_O,
     "toml_test_json(path)\n--\n\nThe TOML file as toml-test JSON."},
    {"text_positions", guarded<"qarv_test_hooks", text_positions_impl>, METH_VARARGS,
     "text_positions(text, spans)\n--\n\nEach span's position, one by one and all at once."},
    {"toml_spans", guarded<"qarv_test_hooks", toml_spans_impl>, METH_O,
     "toml_spans(path)\n--\n\nThe text of each value's key and of the value itself, by path."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef hook_definition = {
    PyModuleDef_HEAD_INIT, "qarv_test_hooks", "", -1, hook_methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace
} // namespace qarv

PyMODINIT_FUNC PyInit_qarv_test_hooks() noexcept { return PyModule_Create(&qarv::hook_definition); }
