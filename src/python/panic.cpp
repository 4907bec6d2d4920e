// The PanicException class, created on first use, and the report of an internal failure.
#include "python/panic.hpp"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "python/shims.hpp"

namespace qarv {
namespace {

/// Created on first use and kept for the life of the process.
PyObject* panic_type = nullptr;

constexpr const char* panic_doc =
    "Raised when the native code of qarv_convert_inner fails internally.\n\n"
    "Like SystemExit, it derives from BaseException, so that it usually propagates to the top "
    "and ends the interpreter instead of being caught by `except Exception`.";

constexpr const char* generic_message = "internal failure without a message";

/// Forgets the class when the interpreter is finalised: a later interpreter of the same process
/// makes its own.
void forget_panic_type() noexcept { panic_type = nullptr; }

/// Raises `PanicException(message)`. When memory has run out so far that neither the class nor
/// its message can be made, the interpreter's preallocated `MemoryError` is raised instead: the
/// process goes on, and the caller still sees the call fail.
void raise_panic(const char* message) noexcept {
    if (!panic_type) {
        panic_type = PyErr_NewExceptionWithDoc("qarv_convert_inner.PanicException", panic_doc,
                                               PyExc_BaseException, nullptr);
        if (panic_type) Py_AtExit(forget_panic_type);
    }
    PyObject* text = panic_type ? PyUnicode_FromString(message) : nullptr;
    if (!text) {
        PyErr_NoMemory();
        return;
    }
    PyErr_SetObject(panic_type, text);
    Py_DECREF(text);
}

} // namespace

void display_raised(PyObject* exception) noexcept {
    PyObject* pending = fetch_raised(); // display starts from a clean error state
    PyObject* traceback = PyException_GetTraceback(exception);
    // Unlike PyErr_Print, this only prints: a SystemExit is shown, not obeyed, and no
    // sys.excepthook runs that could raise one.
    PyErr_Display(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception, traceback);
    Py_XDECREF(traceback);
    PyErr_Clear();
    if (pending) restore_raised(pending);
}

void display_pending() noexcept {
    PyObject* raised = fetch_raised();
    if (!raised) return;
    display_raised(raised);
    Py_DECREF(raised);
}

bool is_panic(PyObject* exception) noexcept {
    if (panic_type && PyErr_GivenExceptionMatches(exception, panic_type)) return true;
    const char* name = Py_TYPE(exception)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return std::string_view(dot ? dot + 1 : name) == "PanicException" &&
           !PyErr_GivenExceptionMatches(exception, PyExc_Exception);
}

PyObject* panic(const char* function, const char* message) noexcept {
    if (!message) message = generic_message;
    std::fprintf(stderr, "qarv_convert_inner: internal failure in %s: %s\n", function, message);
    std::fflush(stderr);
    raise_panic(message);
    return nullptr;
}

} // namespace qarv
