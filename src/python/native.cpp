// `qarv_convert._native`: a private module that hands the command line the data only the C++ side
// has. It is not part of `qarv_convert_inner`, whose surface stays exactly its two functions.
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "configuration/schema.hpp"
#include "files/file_reader.hpp"
#include "configuration/json_form.hpp"
#include "loading/ignored_entries.hpp"
#include "loading/key_positions.hpp"
#include "loading/load_configuration.hpp"
#include "python/bodies.hpp"
#include "python/configuration_fault.hpp"
#include "python/handle.hpp"
#include "python/panic.hpp"
#include "terminal/passthrough.hpp"
#include "python/shims.hpp"
#include "python/signals.hpp"
#include "onnx/onnx_graph.hpp"
#include "section/section_report.hpp"

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
/// set: `ConfigurationFault` of kind "read" for a read failure, the handler's exception when a
/// signal interrupted the read.
std::optional<std::string> read_or_raise(PyObject* path_argument) {
    std::optional<std::string> path = utf8_text(path_argument, "a path");
    if (!path) return std::nullopt;
    auto text = read_configuration_text(*path, stop_on_signal());
    if (!text) {
        if (text.error().kind != LoadError::Kind::interrupted)
            raise_read_fault(text.error().message, path_argument);
        return std::nullopt;
    }
    return std::move(text).value();
}

PyObject* configuration_schema_impl(PyObject*) {
    return make_str(configuration_schema_document().dump()).release();
}

/// The rendered warnings of a checked configuration as a list, or its loading error raised as
/// `ConfigurationFault` with the same text as the conversion's.
PyObject* warnings_or_raise(Result<CheckedConfiguration, TomlError> checked, PyObject* path) {
    if (!checked) return raise_configuration_fault(checked.error(), path);
    PyRef list = adopt_or_fail(PyList_New(0));
    for (const TomlError& warning : checked.value().warnings)
        append(list.get(), make_str(render(warning, "warning")).get());
    return list.release();
}

/// Loads the file as the conversion would, then lists the rendered warnings about the keys and
/// tables that loading passed over.
PyObject* ignored_entries_impl(PyObject* path_argument) {
    std::optional<std::string> text = read_or_raise(path_argument);
    if (!text) return nullptr;
    return warnings_or_raise(check_configuration(std::move(*text)), path_argument);
}

// --- ONNX graph ------------------------------------------------------------------------------

/// Sets `key` of `dict`; like `adopt_or_fail`, a failure is internal.
void set_item(PyObject* dict, const char* key, PyRef value) {
    if (PyDict_SetItemString(dict, key, value.get()) < 0) fail_internally();
}

/// A name from the model as `str`; bytes that are not UTF-8 come through as surrogate escapes.
PyRef model_str(const std::string& text) {
    return adopt_or_fail(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
}

PyRef str_list(const std::vector<std::string>& texts) {
    PyRef list = adopt_or_fail(PyList_New(0));
    for (const std::string& text : texts) append(list.get(), model_str(text).get());
    return list;
}

const char* type_name(onnx::ValueInfo::Type type) {
    using Type = onnx::ValueInfo::Type;
    switch (type) {
    case Type::tensor: return "tensor";
    case Type::sparse_tensor: return "sparse_tensor";
    case Type::sequence: return "sequence";
    case Type::map: return "map";
    case Type::optional: return "optional";
    case Type::opaque: return "opaque";
    case Type::none: break;
    }
    return nullptr;
}

/// {"name", "type", "elem_type", "shape"}: `type` None when the model gives none, `shape` None
/// when the rank is unknown, else one int (fixed), str (named) or None (unknown) per dimension.
PyRef value_info_dict(const onnx::ValueInfo& info) {
    PyRef dict = adopt_or_fail(PyDict_New());
    set_item(dict.get(), "name", model_str(info.name));
    const char* type = type_name(info.type);
    set_item(dict.get(), "type", type ? make_str(type) : PyRef::borrow(Py_None));
    set_item(dict.get(), "elem_type", adopt_or_fail(PyLong_FromLong(info.elem_type)));
    if (!info.has_shape) {
        set_item(dict.get(), "shape", PyRef::borrow(Py_None));
        return dict;
    }
    PyRef shape = adopt_or_fail(PyList_New(0));
    for (const onnx::Dimension& dim : info.dims) {
        switch (dim.kind) {
        case onnx::Dimension::Kind::value: append(shape.get(), adopt_or_fail(PyLong_FromLongLong(dim.value)).get()); break;
        case onnx::Dimension::Kind::param: append(shape.get(), model_str(dim.param).get()); break;
        case onnx::Dimension::Kind::unknown: append(shape.get(), Py_None); break;
        }
    }
    set_item(dict.get(), "shape", std::move(shape));
    return dict;
}

PyRef value_info_list(const std::vector<onnx::ValueInfo>& infos) {
    PyRef list = adopt_or_fail(PyList_New(0));
    for (const onnx::ValueInfo& info : infos) append(list.get(), value_info_dict(info).get());
    return list;
}

/// The graph interface of the model at `path`. A file that cannot be opened or read, is not
/// regular or is cut short while read raises `OSError` (`strerror` says why); one that is not a
/// valid protobuf encoding raises `ValueError` naming the byte.
PyObject* read_onnx_graph_impl(PyObject* path_argument) {
    std::optional<std::string> path = utf8_text(path_argument, "a path");
    if (!path) return nullptr;
    auto read = onnx::read_model(*path, stop_on_signal());
    if (!read) {
        const onnx::ReadError& error = read.error();
        switch (error.kind) {
        case onnx::ReadError::Kind::interrupted: return nullptr; // the handler's exception is pending
        case onnx::ReadError::Kind::os: {
            PyRef arguments =
                adopt_or_fail(Py_BuildValue("(isO)", error.os_error, std::strerror(error.os_error), path_argument));
            PyErr_SetObject(PyExc_OSError, arguments.get());
            return nullptr;
        }
        case onnx::ReadError::Kind::not_regular:
        case onnx::ReadError::Kind::shrank: { // no errno says it: the reason stands in its place
            PyRef arguments = adopt_or_fail(Py_BuildValue("(OsO)", Py_None, error.message.c_str(), path_argument));
            PyErr_SetObject(PyExc_OSError, arguments.get());
            return nullptr;
        }
        case onnx::ReadError::Kind::encoding:
        case onnx::ReadError::Kind::bad_name: break;
        }
        PyErr_SetString(PyExc_ValueError, error.message.c_str());
        return nullptr;
    }
    const onnx::Graph& graph = read.value();
    PyRef dict = adopt_or_fail(PyDict_New());
    set_item(dict.get(), "ir_version", adopt_or_fail(PyLong_FromLongLong(graph.ir_version)));
    set_item(dict.get(), "has_graph", PyRef::borrow(graph.has_graph ? Py_True : Py_False));
    PyRef opsets = adopt_or_fail(PyList_New(0));
    for (const onnx::OpsetImport& opset : graph.opset_imports) {
        PyRef pair = adopt_or_fail(PyTuple_New(2));
        PyTuple_SET_ITEM(pair.get(), 0, model_str(opset.domain).release());
        PyTuple_SET_ITEM(pair.get(), 1, adopt_or_fail(PyLong_FromLongLong(opset.version)).release());
        append(opsets.get(), pair.get());
    }
    set_item(dict.get(), "opset_imports", std::move(opsets));
    set_item(dict.get(), "inputs", value_info_list(graph.inputs));
    set_item(dict.get(), "outputs", value_info_list(graph.outputs));
    set_item(dict.get(), "node_outputs", str_list(graph.node_outputs));
    set_item(dict.get(), "initializers", str_list(graph.initializers));
    return dict.release();
}

// --- Configuration details -------------------------------------------------------------------

/// A JSON value as Python objects: objects as dicts, arrays as lists.
PyRef python_value(const nlohmann::json& value) {
    switch (value.type()) {
    case nlohmann::json::value_t::null: return PyRef::borrow(Py_None);
    case nlohmann::json::value_t::boolean: return PyRef::borrow(value.get<bool>() ? Py_True : Py_False);
    case nlohmann::json::value_t::number_unsigned:
        return adopt_or_fail(PyLong_FromUnsignedLongLong(value.get<std::uint64_t>()));
    case nlohmann::json::value_t::number_integer: return adopt_or_fail(PyLong_FromLongLong(value.get<std::int64_t>()));
    case nlohmann::json::value_t::number_float: return adopt_or_fail(PyFloat_FromDouble(value.get<double>()));
    case nlohmann::json::value_t::string: return make_str(value.get_ref<const std::string&>());
    case nlohmann::json::value_t::array: {
        PyRef list = adopt_or_fail(PyList_New(0));
        for (const nlohmann::json& element : value) append(list.get(), python_value(element).get());
        return list;
    }
    case nlohmann::json::value_t::object: {
        PyRef dict = adopt_or_fail(PyDict_New());
        for (const auto& [key, member] : value.items()) set_item(dict.get(), key.c_str(), python_value(member));
        return dict;
    }
    default: throw InternalFailure("a JSON value of no kind the configuration has");
    }
}

/// Each section's values as loaded, defaults filled in; an absent optional section is null.
nlohmann::json configuration_values(const Configuration& configuration) {
    nlohmann::json sections = nlohmann::json::object();
    for_each_section([&](const auto& section) {
        using Record = typename std::remove_cvref_t<decltype(section)>::record_type;
        const Record* record = find_record(configuration, section);
        nlohmann::json& values = sections[std::string(section.name)];
        if (!record) return;
        values = nlohmann::json::object();
        for_each_field<Record>([&](const auto& field) { values[std::string(field.name)] = json_value(record->*(field.member)); });
    });
    return sections;
}

PyRef position_tuple(const TextPosition& at) {
    return adopt_or_fail(Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(at.line), static_cast<Py_ssize_t>(at.column),
                                       static_cast<Py_ssize_t>(at.carets)));
}

// --- The summary and the conversion as the command line runs them -------------------------------
// The same bodies as `qarv_convert_inner`'s functions; only their failures reach Python as
// values the command line can tell apart: a failed write of the summary is `WriteError`.

/// `qarv_convert._native.WriteError`, an `OSError` with the write's error number; made at import.
PyObject* write_error_type = nullptr;

/// The override texts of an optional argument: a list or tuple of `str`; none with the error set.
std::optional<std::vector<std::string>> override_texts(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t at) {
    std::vector<std::string> texts;
    if (nargs <= at) return texts;
    PyRef items = sequence_items(args[at], "a list of overrides");
    if (!items) return std::nullopt;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        std::optional<std::string> text = utf8_text(PySequence_Fast_GET_ITEM(items.get(), i), "an override");
        if (!text) return std::nullopt;
        texts.push_back(std::move(*text));
    }
    return texts;
}

/// Checks the argument count of `function`, which takes `least` to `most` arguments.
bool arguments_fit(const char* function, Py_ssize_t nargs, Py_ssize_t least, Py_ssize_t most) {
    if (nargs >= least && nargs <= most) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd to %zd arguments (%zd given)", function, least, most, nargs);
    return false;
}

/// `read_stream(descriptor, limit)`: the rest of what the open `descriptor` (a pipe, a device, a
/// file) holds, read to its end through the core's file reader. `OSError` when it cannot be read,
/// with `errno` EFBIG when it holds more than `limit` bytes, of which one more than `limit` is read.
PyObject* read_stream_impl(PyObject* const* args, Py_ssize_t nargs) {
    if (!arguments_fit("read_stream", nargs, 2, 2)) return nullptr;
    const long descriptor = PyLong_AsLong(args[0]);
    if (descriptor == -1 && PyErr_Occurred()) return nullptr;
    if (descriptor < 0 || descriptor > INT_MAX) {
        PyErr_SetString(PyExc_ValueError, "read_stream() takes an open descriptor");
        return nullptr;
    }
    const Py_ssize_t limit = PyLong_AsSsize_t(args[1]);
    if (limit < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "read_stream() takes a limit of 0 or more");
        return nullptr;
    }
    using files::FileError;
    const auto raise = [&](const FileError& error) -> PyObject* {
        switch (error.kind) {
        case FileError::Kind::interrupted: return nullptr; // the handler's exception is pending
        case FileError::Kind::bad_name: PyErr_SetString(PyExc_ValueError, error.message.c_str()); return nullptr;
        default: break;
        }
        const int number = error.kind == FileError::Kind::too_large ? EFBIG : error.os_error;
        const std::string reason = error.kind == FileError::Kind::os ? std::strerror(number) : error.message;
        PyRef arguments = adopt_or_fail(Py_BuildValue("(is)", number, reason.c_str()));
        PyErr_SetObject(PyExc_OSError, arguments.get());
        return nullptr;
    };
    auto file = files::File::from_descriptor(static_cast<int>(descriptor));
    if (!file) return raise(file.error());
    auto bytes = file.value().read_all(static_cast<std::size_t>(limit), stop_on_signal());
    if (!bytes) return raise(bytes.error());
    return adopt_or_fail(PyBytes_FromStringAndSize(bytes.value().data(), static_cast<Py_ssize_t>(bytes.value().size())))
        .release();
}

/// `convert(path, overrides=())`: the conversion of `rust_convert`, with the overrides applied.
PyObject* convert_impl(PyObject* const* args, Py_ssize_t nargs) {
    if (!arguments_fit("convert", nargs, 1, 2)) return nullptr;
    std::optional<std::string> path = utf8_text(args[0], "a path");
    if (!path) return nullptr;
    std::optional<std::vector<std::string>> overrides = override_texts(args, nargs, 1);
    if (!overrides) return nullptr;
    return raise_run_error(run_conversion_with(*path, *overrides), args[0]);
}

/// `explain_to(descriptor, path, overrides=(), changed_only=False)`: the summary written to
/// `descriptor`, with only the rows that differ from the default when `changed_only`.
PyObject* explain_to_impl(PyObject* const* args, Py_ssize_t nargs) {
    if (!arguments_fit("explain_to", nargs, 2, 4)) return nullptr;
    const long descriptor = PyLong_AsLong(args[0]);
    if (descriptor == -1 && PyErr_Occurred()) return nullptr;
    if (descriptor < 0 || descriptor > INT_MAX) {
        PyErr_SetString(PyExc_ValueError, "explain_to(): the descriptor is not a valid file descriptor");
        return nullptr;
    }
    std::optional<std::string> path = utf8_text(args[1], "a path");
    if (!path) return nullptr;
    std::optional<std::vector<std::string>> overrides = override_texts(args, nargs, 2);
    if (!overrides) return nullptr;
    int write_error = 0;
    const int changed_only = nargs > 3 ? PyObject_IsTrue(args[3]) : 0;
    if (changed_only < 0) return nullptr;
    std::optional<ConversionError> error =
        write_summary_to(static_cast<int>(descriptor), *path, *overrides, write_error, changed_only != 0);
    if (write_error != 0) {
        error.reset();
        PyRef arguments = adopt_or_fail(Py_BuildValue("(is)", write_error, std::strerror(write_error)));
        PyErr_SetObject(write_error_type, arguments.get());
        return nullptr;
    }
    return raise_run_error(std::move(error), args[1]);
}

/// `ignored_entries_with(path, overrides)`: `ignored_entries` with the overrides applied.
PyObject* ignored_entries_with_impl(PyObject* const* args, Py_ssize_t nargs) {
    if (!arguments_fit("ignored_entries_with", nargs, 2, 2)) return nullptr;
    std::optional<std::string> text = read_or_raise(args[0]);
    if (!text) return nullptr;
    std::optional<std::vector<std::string>> overrides = override_texts(args, nargs, 1);
    if (!overrides) return nullptr;
    return warnings_or_raise(check_configuration(std::move(*text), *overrides), args[0]);
}

/// `summary_rows(path, overrides=())`: the summary's tables as a list of `(section, rows)`, each
/// row `(key, value, default, set_by_user, description)` with value and default as JSON text.
PyObject* summary_rows_impl(PyObject* const* args, Py_ssize_t nargs) {
    if (!arguments_fit("summary_rows", nargs, 1, 2)) return nullptr;
    std::optional<std::string> path = utf8_text(args[0], "a path");
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

/// `load_note(path, overrides=())`: when loading fails on a key of `[load]` whose report points at
/// the whole table, a "note" excerpt with carets at that key's value in the file; else `None`.
PyObject* load_note_impl(PyObject* const* args, Py_ssize_t nargs) {
    if (!arguments_fit("load_note", nargs, 1, 2)) return nullptr;
    std::optional<std::string> text = read_or_raise(args[0]);
    if (!text) return nullptr;
    std::optional<std::vector<std::string>> overrides = override_texts(args, nargs, 1);
    if (!overrides) return nullptr;
    auto checked = check_configuration(*text, *overrides);
    if (checked || checked.error().keys.size() < 2 || checked.error().keys[0] != "load" || !checked.error().span)
        Py_RETURN_NONE;
    const TomlError& error = checked.error();
    auto document = parse_configuration_document(std::make_shared<const std::string>(std::move(*text)));
    // Only a fault of the file itself, not one of an override, stands in the file.
    if (!document || !error.source || *error.source != *document.value().text())
        Py_RETURN_NONE;
    const std::optional<toml::Value> load = document.value().root().find("load");
    const std::optional<toml::Value> value = load && load->is_table() ? load->find(error.keys[1]) : std::nullopt;
    if (!value || error.span->start != load->span().start) Py_RETURN_NONE;
    const TomlError note{"`" + error.keys[1] + "` in [load]", value->span(), document.value().text(), {}};
    return make_str(render(note, "note")).release();
}

/// The one passthrough of the process (descriptors are the process's), while a live line is shown.
/// Shared, so that a draw from another thread, already past the interpreter lock, keeps it alive
/// while `passthrough_stop` ends it.
std::shared_ptr<Passthrough> passthrough;

/// A `str` argument as UTF-8 bytes, or none with the error set.
std::optional<std::string_view> text_argument(PyObject* const* args, Py_ssize_t nargs, const char* function) {
    if (!arguments_fit(function, nargs, 1, 1)) return std::nullopt;
    if (!PyUnicode_Check(args[0])) {
        PyErr_Format(PyExc_TypeError, "%s() takes a str", function);
        return std::nullopt;
    }
    return qarv::utf8_text(args[0]);
}

/// `passthrough_start(terminal, descriptors)`: what is written to `descriptors` goes above the
/// live line on `terminal` from now on; False (nothing changed) when that cannot be set up.
PyObject* passthrough_start_impl(PyObject* const* args, Py_ssize_t nargs) {
    if (!arguments_fit("passthrough_start", nargs, 2, 2)) return nullptr;
    const long terminal = PyLong_AsLong(args[0]);
    if (terminal == -1 && PyErr_Occurred()) return nullptr;
    PyRef items = sequence_items(args[1], "a list of descriptors");
    if (!items) return nullptr;
    std::vector<int> descriptors;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        const long descriptor = PyLong_AsLong(PySequence_Fast_GET_ITEM(items.get(), i));
        if (descriptor == -1 && PyErr_Occurred()) return nullptr;
        descriptors.push_back(static_cast<int>(descriptor));
    }
    if (passthrough) Py_RETURN_FALSE;
    passthrough = Passthrough::start(static_cast<int>(terminal), descriptors);
    return PyBool_FromLong(passthrough != nullptr);
}

/// `passthrough_show(text)`: `text` as the live line.
PyObject* passthrough_show_impl(PyObject* const* args, Py_ssize_t nargs) {
    std::optional<std::string_view> text = text_argument(args, nargs, "passthrough_show");
    if (!text) return nullptr;
    if (const std::shared_ptr<Passthrough> held = passthrough) {
        Py_BEGIN_ALLOW_THREADS
        held->show(*text);
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

/// Whether the exception being handled is a KeyboardInterrupt: the run is ending on a signal, and
/// a terminal whose output is stopped is not to be waited on.
bool unwinding_an_interrupt() {
    PyObject* handled = PyErr_GetHandledException();
    const bool interrupted = handled != nullptr && PyErr_GivenExceptionMatches(handled, PyExc_KeyboardInterrupt);
    Py_XDECREF(handled);
    return interrupted;
}

/// `passthrough_write(text)`: `text` on the terminal in the live line's place.
PyObject* passthrough_write_impl(PyObject* const* args, Py_ssize_t nargs) {
    std::optional<std::string_view> text = text_argument(args, nargs, "passthrough_write");
    if (!text) return nullptr;
    if (const std::shared_ptr<Passthrough> held = passthrough) {
        const bool wait = !unwinding_an_interrupt();
        Py_BEGIN_ALLOW_THREADS
        held->write(*text, wait);
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

/// `passthrough_stop()`: the descriptors back as they were, what is still in the pipes passed on;
/// called while a KeyboardInterrupt unwinds the run, only what the terminal takes at once.
PyObject* passthrough_stop_impl(PyObject* const*, Py_ssize_t) {
    const std::shared_ptr<Passthrough> ending = std::move(passthrough);
    if (ending) {
        const bool interrupted = unwinding_an_interrupt();
        Py_BEGIN_ALLOW_THREADS
        ending->stop(interrupted);
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

/// The configuration at `path` loaded as the conversion loads it (its errors raise
/// `ConfigurationFault` with the same text): {"text", "values", "positions", "tables", "warnings"}. `positions` maps
/// each dotted key to (line, column, carets) of its value, `tables` each table to its header's;
/// `warnings` lists the ignored keys as dicts of "key", "position" and "message".
PyObject* load_details_impl(PyObject* const* args, Py_ssize_t nargs) {
    if (!arguments_fit("load_details", nargs, 1, 2)) return nullptr;
    std::optional<std::string> text = read_or_raise(args[0]);
    if (!text) return nullptr;
    std::optional<std::vector<std::string>> overrides = override_texts(args, nargs, 1);
    if (!overrides) return nullptr;
    auto details = configuration_details(std::move(*text), *overrides);
    if (!details) return raise_configuration_fault(details.error(), args[0]);
    const ConfigurationDetails& loaded = details.value();
    PyRef positions = adopt_or_fail(PyDict_New());
    PyRef tables = adopt_or_fail(PyDict_New());
    for (const KeyPosition& entry : loaded.positions)
        set_item(entry.table ? tables.get() : positions.get(), entry.key.c_str(), position_tuple(entry.position));
    PyRef warnings = adopt_or_fail(PyList_New(0));
    std::vector<ByteSpan> spans;
    for (const TomlError& warning : loaded.warnings) spans.push_back(warning.span.value_or(ByteSpan{}));
    const std::vector<TextPosition> found = positions_of(*loaded.text, spans);
    for (std::size_t i = 0; i < loaded.warnings.size(); ++i) {
        const TomlError& warning = loaded.warnings[i];
        PyRef item = adopt_or_fail(PyDict_New());
        std::string key;
        for (const std::string& part : warning.keys) key += (key.empty() ? "" : ".") + part;
        set_item(item.get(), "key", make_str(key));
        set_item(item.get(), "position", position_tuple(found[i]));
        set_item(item.get(), "message", make_str(warning.message));
        append(warnings.get(), item.get());
    }
    PyRef dict = adopt_or_fail(PyDict_New());
    set_item(dict.get(), "text", make_str(*loaded.text));
    set_item(dict.get(), "values", python_value(configuration_values(loaded.configuration)));
    set_item(dict.get(), "positions", std::move(positions));
    set_item(dict.get(), "tables", std::move(tables));
    set_item(dict.get(), "warnings", std::move(warnings));
    return dict.release();
}

template <PyObject* (*Body)(PyObject* const*, Py_ssize_t)>
PyObject* guarded_fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return run_guarded("qarv_convert._native", [&] { return Body(args, nargs); });
}

/// Adds `WriteError` to the new module; false with the error set when it cannot.
bool add_run_types(PyObject* module) noexcept {
    if (!write_error_type)
        write_error_type = PyErr_NewExceptionWithDoc(
            "qarv_convert._native.WriteError", "The summary could not be written to its descriptor.",
            PyExc_OSError, nullptr);
    return write_error_type && PyModule_AddObjectRef(module, "WriteError", write_error_type) == 0;
}
// --- end of the command line's bodies ------------------------------------------------------------

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
    {"convert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_fastcall<convert_impl>)),
     METH_FASTCALL, "convert(path, overrides=())\n--\n\nThe conversion, with SECTION.KEY=VALUE overrides over the file."},
    {"read_onnx_graph", guarded<read_onnx_graph_impl>, METH_O,
     "read_onnx_graph(path)\n--\n\nThe inputs, outputs, node outputs and versions of the ONNX model at path."},
    {"read_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_fastcall<read_stream_impl>)),
     METH_FASTCALL, "read_stream(descriptor, limit)\n--\n\nThe rest of an open pipe, device or file, up to limit bytes."},
    {"load_details", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_fastcall<load_details_impl>)),
     METH_FASTCALL,
     "load_details(path, overrides=())\n--\n\nThe loaded configuration with the position of every value and table header."},
    {"explain_to", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_fastcall<explain_to_impl>)),
     METH_FASTCALL,
     "explain_to(descriptor, path, overrides=(), changed_only=False)\n--\n\nThe configuration summary written to the descriptor."},
    {"ignored_entries_with",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_fastcall<ignored_entries_with_impl>)),
     METH_FASTCALL, "ignored_entries_with(path, overrides)\n--\n\nignored_entries with overrides over the file."},
    {"load_note", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_fastcall<load_note_impl>)),
     METH_FASTCALL, "load_note(path, overrides=())\n--\n\nWhere the faulty key of [load] stands, as a note."},
    {"passthrough_start",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_fastcall<passthrough_start_impl>)),
     METH_FASTCALL, "passthrough_start(terminal, descriptors)\n--\n\nPasses the descriptors' output above the live line."},
    {"passthrough_show",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_fastcall<passthrough_show_impl>)),
     METH_FASTCALL, "passthrough_show(text)\n--\n\nDraws the live line."},
    {"passthrough_write",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_fastcall<passthrough_write_impl>)),
     METH_FASTCALL, "passthrough_write(text)\n--\n\nWrites to the terminal in the live line's place."},
    {"passthrough_stop",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_fastcall<passthrough_stop_impl>)),
     METH_FASTCALL, "passthrough_stop()\n--\n\nPuts the descriptors back."},
    {"summary_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_fastcall<summary_rows_impl>)),
     METH_FASTCALL, "summary_rows(path, overrides=())\n--\n\nThe rows of the configuration summary's tables."},
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
    if (!module || PyModule_AddObjectRef(module.get(), "STEPS", steps_tuple().get()) < 0 ||
        !add_run_types(module.get()) || !add_configuration_fault_type(module.get()))
        return nullptr;
    return module.release();
}

} // namespace
} // namespace qarv

PyMODINIT_FUNC PyInit__native() noexcept { return qarv::run_guarded("qarv_convert._native", qarv::create_module); }
