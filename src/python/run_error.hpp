// The failure value of a run, and the checks that turn a raised Python exception into one.
#pragma once

#include <string>

#include "loading/load_configuration.hpp"
#include "python/handle.hpp"
#include "result.hpp"

namespace qarv {

/// The one failure value of a run. File-read and configuration failures carry their text; a
/// Python failure carries the raised exception, whose text is taken only at the boundary.
struct ConversionError {
    enum class Kind { file_read, configuration, python };
    Kind kind;
    std::string message; ///< file read and configuration kinds
    PyRef exception;     ///< python kind

    static ConversionError from(LoadError error);
    static ConversionError python(PyRef exception);
    /// "{qualified class name}: {str(exception)}" for the python kind, else the message.
    std::string text() const;
};

template <class T>
using PyResult = Result<T, ConversionError>;

/// The pending exception as a Python-kind error; a `SystemError` when none is pending. A
/// `PanicException` from another module is not a run failure: it becomes an `InternalFailure`.
ConversionError take_raised_exception();

/// Result of an operation that can legitimately raise: the new reference, or the raised error.
inline PyResult<PyRef> checked(PyObject* result) {
    if (!result) return take_raised_exception();
    return PyRef::steal(result);
}

/// `object.name`, or the raised error. `name` must be interned (see `interned`).
inline PyResult<PyRef> get_attribute(PyObject* object, PyObject* name) {
    return checked(PyObject_GetAttr(object, name));
}

} // namespace qarv
