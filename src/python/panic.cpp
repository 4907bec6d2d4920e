// The PanicException class, created on first use, and the report of an internal failure.
#include "python/panic.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace qarv {
namespace {

/// Created on first use and kept for the life of the process.
PyObject* panic_type = nullptr;

constexpr const char* panic_doc =
    "Raised when the native code of qarv_convert_inner fails internally.\n\n"
    "Like SystemExit, it derives from BaseException, so that it usually propagates to the top "
    "and ends the interpreter instead of being caught by `except Exception`.";

constexpr const char* generic_message = "internal failure without a message";

/// Raises `PanicException(message)`; aborts when even that cannot be done.
void raise_panic(const char* message) noexcept {
    if (!panic_type)
        panic_type = PyErr_NewExceptionWithDoc("qarv_convert_inner.PanicException", panic_doc,
                                               PyExc_BaseException, nullptr);
    PyObject* text = panic_type ? PyUnicode_FromString(message) : nullptr;
    if (!text) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
    PyErr_SetObject(panic_type, text);
    Py_DECREF(text);
}

} // namespace

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
