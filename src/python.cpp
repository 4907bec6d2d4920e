// Checked C API helpers, the failure value of a run and the PanicException class.
#include "python.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "text/utf8.hpp"

namespace qarv {
namespace {

/// Created on first use and kept for the life of the process.
PyObject* panic_type = nullptr;

constexpr const char* panic_doc =
    "Raised when the native code of qarv_convert_inner fails internally.\n\n"
    "Like SystemExit, it derives from BaseException, so that it usually propagates to the top "
    "and ends the interpreter instead of being caught by `except Exception`.";

/// A panic of this module or of another native module of the same kind.
bool is_panic(PyObject* exception) {
    if (panic_type && PyErr_GivenExceptionMatches(exception, panic_type)) return true;
    const PyTypeObject* type = Py_TYPE(exception);
    const char* name = type->tp_name;
    const char* dot = std::strrchr(name, '.');
    return std::string_view(dot ? dot + 1 : name) == "PanicException" &&
           !PyErr_GivenExceptionMatches(exception, PyExc_Exception);
}

/// `str(object)` as UTF-8, with lone surrogates passed through and then replaced; none when
/// `str` itself raises.
std::optional<std::string> string_form(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    PyRef bytes = text ? PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass")) : PyRef();
    if (!bytes) {
        PyErr_Clear();
        return std::nullopt;
    }
    return utf8::decode_lossy(std::string_view(PyBytes_AS_STRING(bytes.get()),
                                               static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

} // namespace

PyObject* fetch_raised() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

void restore_raised(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
#endif
}

ConversionError ConversionError::from(LoadError error) {
    return {error.kind == LoadError::Kind::file_read ? Kind::file_read : Kind::configuration,
            std::move(error.message), PyRef()};
}

ConversionError ConversionError::python(PyRef exception) {
    return {Kind::python, {}, std::move(exception)};
}

std::string ConversionError::text() const {
    if (kind != Kind::python) return message;
    PyRef qualified_name = created(PyType_GetQualName(Py_TYPE(exception.get())));
    std::string out = string_form(qualified_name.get()).value_or("<unknown>");
    out += ": ";
    out += string_form(exception.get()).value_or("<exception str() failed>");
    return out;
}

ConversionError take_raised_exception() {
    PyObject* raised = fetch_raised();
    if (!raised) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        raised = fetch_raised();
    }
    PyRef exception = PyRef::steal(raised);
    if (is_panic(exception.get())) {
        std::fputs("--- PanicException from Python code ---\n", stderr);
        std::fputs("Python stack trace below:\n", stderr);
        std::fflush(stderr);
        const std::string message = string_form(exception.get()).value_or("Unwrapped panic from Python code");
        restore_raised(exception.release());
        PyErr_PrintEx(0);
        throw InternalFailure(message);
    }
    return ConversionError::python(std::move(exception));
}

PyResult<PyRef> checked(PyObject* result) {
    if (!result) return take_raised_exception();
    return PyRef::steal(result);
}

PyRef created(PyObject* result) {
    if (!result) {
        PyErr_Print();
        throw InternalFailure("Python API call failed");
    }
    return PyRef::steal(result);
}

PyRef make_str(std::string_view text) {
    return created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

void set_item(PyObject* dict, std::string_view key, PyRef value) {
    PyRef name = make_str(key);
    if (PyObject_SetItem(dict, name.get(), value.get()) < 0) created(nullptr);
}

void append(PyObject* list, PyRef item) {
    if (PyList_Append(list, item.get()) < 0) created(nullptr);
}

void raise_panic(const std::string& message) noexcept {
    if (!panic_type)
        panic_type = PyErr_NewExceptionWithDoc("qarv_convert_inner.PanicException", panic_doc,
                                               PyExc_BaseException, nullptr);
    PyObject* text = panic_type ? PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))
                                : nullptr;
    if (!text) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
    PyErr_SetObject(panic_type, text);
    Py_DECREF(text);
}

} // namespace qarv
