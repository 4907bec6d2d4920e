// The summary and the conversion as the command line runs them: the same bodies as
// `qarv_convert_inner`'s functions, with overrides, and failures the command line can tell apart.
#pragma once

#include "python/handle.hpp"

namespace qarv {

/// `convert`, `explain_to` and `summary_rows`, as entries of the module's method table
/// (null-terminated).
extern PyMethodDef command_run_methods[];

/// Adds `WriteError` (a failed write of the summary) to the new module; false with the error set
/// when it cannot.
bool add_write_error_type(PyObject* module) noexcept;

} // namespace qarv
