// Attribute lookup by a name the interpreter interns.
#pragma once

#include "python.hpp"

namespace qarv {

/// An interned `str`. Names the interpreter looks up must be interned: its type lookup cache
/// keeps a reference to each name it has seen, and a fresh string per run would keep evicting
/// and refilling that cache, which looks like a slow leak from outside.
inline PyRef interned(const char* name) { return created(PyUnicode_InternFromString(name)); }

/// `object.name`, or the raised error.
inline PyResult<PyRef> get_attribute(PyObject* object, const char* name) {
    return checked(PyObject_GetAttr(object, interned(name).get()));
}

} // namespace qarv
