// The module's CPython glue: the owning object handle, checked C API helpers, the failure value
// of a run, and internal failures.
//
// Ownership rules, stated once for the whole module:
// - A `PyRef` always owns exactly one reference, or none. `PyRef::steal` adopts a new reference
//   that a C API call returned; `PyRef::borrow` takes a borrowed pointer and adds a reference.
// - A `PyRef` never converts back to a raw pointer implicitly. `get()` lends the pointer for the
//   duration of a call; `release()` hands the reference over to a callee that steals it.
// - Every helper below returns owned references in `PyRef`s. Raw `PyObject*` parameters are
//   borrowed.
// - All of this runs with the interpreter lock held by the caller; nothing here releases it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "loading/load_configuration.hpp"
#include "result.hpp"

namespace qarv {

/// Owning handle of one Python reference.
class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    /// Adopts a new reference (possibly null).
    [[nodiscard]] static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    /// Adds a reference to a borrowed pointer (possibly null).
    [[nodiscard]] static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    /// Gives up ownership; the caller takes over the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

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

/// Takes the pending exception as one object (its traceback attached), or null when none is set;
/// `restore_raised` makes an exception so taken pending again. Both hide the 3.12 change of API.
PyObject* fetch_raised() noexcept;
void restore_raised(PyObject* exception) noexcept;

/// The pending exception as a Python-kind error; a `SystemError` when none is pending. A
/// `PanicException` from another module is not a run failure: it becomes an `InternalFailure`.
ConversionError take_raised_exception();

/// Result of an operation that can legitimately raise: the new reference, or the raised error.
PyResult<PyRef> checked(PyObject* result);

/// Result of making a basic object (str, int, float, list, dict, tuple): failure means the
/// interpreter is out of memory, an internal failure.
PyRef created(PyObject* result);

/// `str` of UTF-8 text.
PyRef make_str(std::string_view text);

/// An interned `str`. Names the interpreter looks up must be interned: its type lookup cache
/// keeps a reference to each name it has seen, and a fresh string per run would keep evicting
/// and refilling that cache, which looks like a slow leak from outside.
inline PyRef interned(const char* name) { return created(PyUnicode_InternFromString(name)); }

/// `object.name`, or the raised error.
inline PyResult<PyRef> get_attribute(PyObject* object, const char* name) {
    return checked(PyObject_GetAttr(object, interned(name).get()));
}

/// Inserts into a dict or list; like `created`, a failure is internal.
void set_item(PyObject* dict, std::string_view key, PyRef value);
void append(PyObject* list, PyRef item);

/// Raises `PanicException(message)`; creates the class on first use.
void raise_panic(const std::string& message) noexcept;

} // namespace qarv
