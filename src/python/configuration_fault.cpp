// The ConfigurationFault type and its instances, made from the error values of loading.
#include "python/configuration_fault.hpp"

#include <string_view>

#include "python/shims.hpp"

namespace qarv {
namespace {

/// Made when the module is first imported; kept for the life of the process.
PyObject* fault_type = nullptr;

constexpr const char* fault_doc =
    "A configuration that cannot be used: str() is the report as printed, and its parts are\n"
    "report, kind, file, line, column, width, key, override, expected, message, line_text, note, note_line\n"
    "and note_column.";

/// The parts of one fault; a null `text` field is Python's None.
struct Parts {
    std::string_view kind;
    std::string_view message;
    PyObject* file = nullptr;
    std::optional<TextPosition> position{};
    std::optional<std::string> line_text{}; ///< the line the report quotes, with a position
    std::optional<std::string> key{};
    std::optional<std::string> override_text{};
    std::optional<std::string> expected{};
    std::optional<std::string> note{};
    std::optional<TextPosition> note_position{};
};

PyRef optional_str(const std::optional<std::string>& text) {
    return text ? make_str(*text) : PyRef::borrow(Py_None);
}

PyRef optional_size(bool present, std::size_t value) {
    return present ? adopt_or_fail(PyLong_FromSize_t(value)) : PyRef::borrow(Py_None);
}

/// Raises the fault with `report` as its text and `parts` as its attributes.
PyObject* raise_fault(const std::string& report, const Parts& parts) {
    PyRef text = make_str(report);
    PyRef fault = adopt_or_fail(PyObject_CallOneArg(fault_type, text.get()));
    const bool positioned = parts.position.has_value();
    const TextPosition at = parts.position.value_or(TextPosition{});
    const std::pair<const char*, PyRef> attributes[] = {
        {"report", std::move(text)},
        {"kind", make_str(parts.kind)},
        {"file", PyRef::borrow(parts.file ? parts.file : Py_None)},
        {"line", optional_size(positioned, at.line)},
        {"column", optional_size(positioned, at.column)},
        {"width", adopt_or_fail(PyLong_FromSize_t(positioned ? at.carets : 0))},
        {"key", optional_str(parts.key)},
        {"override", optional_str(parts.override_text)},
        {"expected", optional_str(parts.expected)},
        {"message", make_str(parts.message)},
        {"line_text", optional_str(parts.line_text)},
        {"note", optional_str(parts.note)},
        {"note_line", optional_size(parts.note_position.has_value(), parts.note_position.value_or(TextPosition{}).line)},
        {"note_column",
         optional_size(parts.note_position.has_value(), parts.note_position.value_or(TextPosition{}).column)},
    };
    for (const auto& [name, value] : attributes)
        if (PyObject_SetAttrString(fault.get(), name, value.get()) < 0) fail_internally();
    PyErr_SetObject(fault_type, fault.get());
    return nullptr;
}

} // namespace

bool add_configuration_fault_type(PyObject* module) noexcept {
    if (!fault_type)
        fault_type = PyErr_NewExceptionWithDoc("qarv_convert._native.ConfigurationFault", fault_doc,
                                               PyExc_RuntimeError, nullptr);
    return fault_type && PyModule_AddObjectRef(module, "ConfigurationFault", fault_type) == 0;
}

PyObject* raise_configuration_fault(const TomlError& error, PyObject* path) {
    Parts parts{fault_word(error.kind), error.message};
    if (!error.in_override) parts.file = path;
    if (error.span && error.source) {
        parts.position = position_of(*error.source, *error.span);
        parts.line_text = std::string(quoted_line(*error.source, *error.span));
    }
    if (!error.keys.empty()) {
        std::string key;
        for (const std::string& part : error.keys) key += (key.empty() ? "" : ".") + part;
        parts.key = std::move(key);
    }
    if (error.in_override && error.source) parts.override_text = *error.source;
    if (!error.expected.empty()) parts.expected = error.expected;
    if (error.value_span && error.source) {
        parts.note = excerpt(*error.source, *error.value_span);
        parts.note_position = position_of(*error.source, *error.value_span);
    }
    return raise_fault(render(error), parts);
}

PyObject* raise_read_fault(const std::string& message, PyObject* path) {
    return raise_fault(message, {"read", message, path});
}

PyObject* raise_run_error(std::optional<ConversionError> error, PyObject* path) {
    if (!error) Py_RETURN_NONE;
    switch (error->kind) {
    case ConversionError::Kind::stop:
        restore_raised(error->exception.release());
        return nullptr;
    case ConversionError::Kind::file_read: return raise_read_fault(error->message, path);
    case ConversionError::Kind::configuration:
        if (error->fault) return raise_configuration_fault(*error->fault, path);
        break;
    case ConversionError::Kind::summary_cap: return raise_fault(error->message, {"summary", error->message, path});
    case ConversionError::Kind::python: break;
    }
    // The body has released everything it held; only now is the exception's text taken.
    const std::string text = error->text();
    error.reset();
    PyErr_SetObject(PyExc_RuntimeError, make_str(text).get());
    return nullptr;
}

} // namespace qarv
