// Version shims: one spelling for C API calls that changed between the interpreters we build for.
#pragma once

#include "python/handle.hpp"

namespace qarv {

/// Takes the pending exception as one object (its traceback attached), or null when none is set.
/// Hides the 3.12 change from the (type, value, traceback) triple to a single object.
inline PyObject* fetch_raised() noexcept {
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

/// Makes an exception taken by `fetch_raised` pending again; steals the reference.
inline void restore_raised(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
#endif
}

} // namespace qarv
