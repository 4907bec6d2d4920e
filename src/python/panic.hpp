// Internal failures at the edge: the report on standard error and the PanicException they raise.
#pragma once

#include <exception>
#include <new>

#include "python/handle.hpp"

namespace qarv {

/// Reports an internal failure of `function` on standard error and raises `PanicException` with
/// `message` (a generic text when null). Returns null, the value the function then returns.
PyObject* panic(const char* function, const char* message) noexcept;

/// Prints `exception` with its traceback to `sys.stderr` without acting on it: a `SystemExit`
/// does not end the interpreter. The pending error, if any, is left as it was.
void display_raised(PyObject* exception) noexcept;

/// Prints the pending error the same way and clears it.
void display_pending() noexcept;

/// Whether `exception` is a `PanicException`: this module's, or that of another native module of
/// the same kind (a class of that name outside the `Exception` hierarchy).
bool is_panic(PyObject* exception) noexcept;

/// Runs `body`, a function called from Python, so that nothing thrown escapes into the
/// interpreter: memory running out (in C++ or in the interpreter) becomes `MemoryError`, any
/// other failure `PanicException`.
template <class Body>
PyObject* run_guarded(const char* function, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& failure) {
        return panic(function, failure.what());
    } catch (...) {
        return panic(function, nullptr);
    }
}

} // namespace qarv
