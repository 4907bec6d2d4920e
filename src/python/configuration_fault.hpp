// `qarv_convert._native.ConfigurationFault`: a configuration that cannot be used, as a raised value.
#pragma once

#include <optional>
#include <string>

#include "loading/toml_error.hpp"
#include "python/handle.hpp"
#include "python/run_error.hpp"

namespace qarv {

/// Adds `ConfigurationFault`, a `RuntimeError` whose text is the rendered report, to the new
/// module; false with the error set when it cannot.
bool add_configuration_fault_type(PyObject* module) noexcept;

/// Raises `ConfigurationFault` for `error`, found in the file named `path` (the caller's argument)
/// or in one of the overrides over it, and returns null.
PyObject* raise_configuration_fault(const TomlError& error, PyObject* path);

/// Raises `ConfigurationFault` of kind "read" for the file `path` that could not be read, with the
/// reading's own text, and returns null.
PyObject* raise_read_fault(const std::string& message, PyObject* path);

/// Makes the outcome of a body pending as the exported functions do, except that a fault of the
/// configuration at `path` is `ConfigurationFault`: a stop passes its exception on unchanged, any
/// other failure is `RuntimeError` with the failure's text.
PyObject* raise_run_error(std::optional<ConversionError> error, PyObject* path);

} // namespace qarv
