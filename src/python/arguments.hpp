// How the functions of the package's native module and of the test hooks take their arguments,
// and the guarded edge each of them is called through.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "python/handle.hpp"
#include "python/panic.hpp"

namespace qarv {

/// The items of a list or tuple, or null with a `TypeError` naming what was expected.
PyRef sequence_items(PyObject* object, const char* expected);

/// A `str` argument, `what`, as UTF-8 text, or none with the interpreter's error set.
std::optional<std::string> str_argument(PyObject* object, const char* what);

/// An open file descriptor argument of `function`, or none with a `ValueError` (or the
/// conversion's error) set when it is not a non-negative `int`.
std::optional<int> descriptor_argument(PyObject* object, const char* function);

/// Checks the argument count of `function`, which takes `least` to `most` arguments; false with
/// a `TypeError` set when it does not.
bool arguments_fit(const char* function, Py_ssize_t nargs, Py_ssize_t least, Py_ssize_t most);

/// The override texts (`SECTION.KEY=VALUE`) of the optional argument at `at`: a list or tuple of
/// `str`, none when the call leaves it out; none with the error set when it is no such thing.
std::optional<std::vector<std::string>> override_texts(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t at);

/// The edge of a one-argument function of `module`: nothing thrown gets out (see `run_guarded`).
template <NameLiteral module, PyObject* (*Body)(PyObject*)>
PyObject* guarded(PyObject*, PyObject* argument) noexcept {
    return run_guarded(module.text, [&] { return Body(argument); });
}

/// The edge of a function of `module` without arguments.
template <NameLiteral module, PyObject* (*Body)()>
PyObject* guarded_noargs(PyObject*, PyObject*) noexcept {
    return run_guarded(module.text, [&] { return Body(); });
}

/// The edge of a function of `module` that takes its arguments by position (`METH_FASTCALL`), as
/// the method table's function pointer.
template <NameLiteral module, PyObject* (*Body)(PyObject* const*, Py_ssize_t)>
PyCFunction guarded_fastcall() {
    constexpr auto edge = [](PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept -> PyObject* {
        return run_guarded(module.text, [&] { return Body(args, nargs); });
    };
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(+edge));
}

} // namespace qarv
