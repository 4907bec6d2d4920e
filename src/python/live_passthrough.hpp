// The passthrough under the live progress line, as the command line starts, draws and stops it.
#pragma once

#include "python/handle.hpp"

namespace qarv {

/// `passthrough_start`, `passthrough_show`, `passthrough_write` and `passthrough_stop`, as entries
/// of the module's method table (null-terminated).
extern PyMethodDef passthrough_methods[];

} // namespace qarv
