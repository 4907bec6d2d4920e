// The failure value of a run, and the checks that turn a raised Python exception into one.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loading/load_configuration.hpp"
#include "loading/overrides.hpp"
#include "python/handle.hpp"
#include "python/signals.hpp"
#include "result.hpp"

namespace qarv {

/// The one failure value of a run. File-read and configuration failures carry their text; a
/// Python failure carries the raised exception, whose text is taken only at the boundary. A stop
/// carries an exception that reaches the caller unchanged: the user's request to stop the run
/// (KeyboardInterrupt), or whatever a signal handler raised while the run waited.
struct ConversionError {
    /// `summary_cap`: the summary of a loaded configuration would pass its cap.
    enum class Kind { file_read, configuration, summary_cap, python, stop };
    Kind kind;
    std::string message;            ///< file read, configuration and summary kinds
    PyRef exception;                ///< python and stop kinds
    std::optional<TomlError> fault{}; ///< the configuration kind's error, which `message` renders

    /// A loading failure; an interrupted load takes the exception the signal handler left pending.
    static ConversionError from(LoadError error);
    static ConversionError python(PyRef exception);
    /// The exception that a signal handler left pending while the run waited.
    static ConversionError interrupted();
    /// "{qualified class name}: {str(exception)}" for the python kind, else the message.
    std::string text() const;
};

template <class T>
using PyResult = Result<T, ConversionError>;

/// The pending exception as a Python-kind error; a `SystemError` when none is pending. A
/// KeyboardInterrupt is a stop, not a failed step. A `PanicException` from another module is not a
/// run failure: it becomes an `InternalFailure`.
ConversionError take_raised_exception();

/// Loads the file at `path` with `overrides` applied, ending early when a signal handler raised
/// while it waited; that exception then stops the run.
inline PyResult<Configuration> load_or_stop(const std::string& path, const std::vector<std::string>& overrides = {}) {
    auto loaded = load_configuration(path, overrides, stop_on_signal());
    if (!loaded) return ConversionError::from(std::move(loaded).error());
    return std::move(loaded).value();
}

/// As `load_or_stop`, with the configuration put on the heap: a toolkit that calls back into the
/// module nests one run per level, and runs whose frames hold no configuration nest deeper.
std::optional<ConversionError> load_onto_heap(const std::string& path, const std::vector<std::string>& overrides,
                                              std::unique_ptr<const Configuration>& out);

/// Result of an operation that can legitimately raise: the new reference, or the raised error.
inline PyResult<PyRef> checked(PyObject* result) {
    if (!result) return take_raised_exception();
    return PyRef::steal(result);
}

/// Whether the calling thread's stack still has room for another run to nest inside this one;
/// false with `RecursionError` pending when it has not.
bool stack_has_room();

/// Makes `call`, a call into Python code that may come back into this module, as one level of the
/// interpreter's recursion count, so that endless re-entry ends in `RecursionError` at the
/// recursion limit, or earlier when the thread's stack runs short, instead of overflowing it.
template <class Call>
PyResult<PyRef> call_python(Call&& call) {
    if (!stack_has_room() || Py_EnterRecursiveCall(" while calling the toolkit")) return take_raised_exception();
    PyObject* result = call();
    Py_LeaveRecursiveCall();
    return checked(result);
}

/// `object.name`, or the raised error. `name` must be interned (see `interned`).
inline PyResult<PyRef> get_attribute(PyObject* object, PyObject* name) {
    return checked(PyObject_GetAttr(object, name));
}

} // namespace qarv
