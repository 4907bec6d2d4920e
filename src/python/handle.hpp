// The owning handle of a Python reference and the helpers that make basic objects with it.
//
// Ownership rules, stated once for the whole edge:
// - A `PyRef` always owns exactly one reference, or none. `PyRef::steal` adopts a new reference
//   that a C API call returned; `PyRef::borrow` takes a borrowed pointer and adds a reference.
// - A `PyRef` never converts back to a raw pointer implicitly. `get()` lends the pointer for the
//   duration of a call; `release()` hands the reference over to a callee that steals it.
// - Every helper returns owned references in `PyRef`s. Raw `PyObject*` parameters are borrowed.
// - All of this runs with the interpreter lock held by the caller; nothing here releases it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

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

/// Prints the pending Python error and throws `InternalFailure`: the interpreter could not make a
/// basic object, which only happens when memory runs out.
[[noreturn]] void fail_internally();

/// Adopts the result of making a basic object (str, int, float, list, dict, tuple); a null result
/// goes to `fail_internally`.
inline PyRef adopt_or_fail(PyObject* result) {
    if (!result) fail_internally();
    return PyRef::steal(result);
}

/// `str` of UTF-8 text.
inline PyRef make_str(std::string_view text) {
    return adopt_or_fail(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

/// A string literal as a template argument, so that each name gets its own cache below.
template <std::size_t N>
struct NameLiteral {
    char text[N];
    constexpr NameLiteral(const char (&literal)[N]) { std::copy_n(literal, N, text); }
};

/// The interned `str` of `name`, made on first use and kept for the life of the process (the
/// module serves one interpreter). Names the interpreter looks up must be interned: its type
/// lookup cache keeps a reference to each name it has seen, and a fresh string per run would keep
/// evicting and refilling that cache, which looks like a slow leak from outside.
template <NameLiteral name>
PyObject* interned() {
    static PyObject* const object = adopt_or_fail(PyUnicode_InternFromString(name.text)).release();
    return object;
}

/// Sets `key` of `dict`; like `adopt_or_fail`, a failure is internal.
inline void set_item(PyObject* dict, const char* key, PyRef value) {
    if (PyDict_SetItemString(dict, key, value.get()) < 0) fail_internally();
}

/// Appends to a list; like `adopt_or_fail`, a failure is internal.
inline void append(PyObject* list, PyObject* item) {
    if (PyList_Append(list, item) < 0) fail_internally();
}

/// The UTF-8 text of a `str` (or subclass), valid while the object lives; none with the
/// interpreter's encoding error pending when it holds lone surrogates.
inline std::optional<std::string_view> utf8_text(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

} // namespace qarv
