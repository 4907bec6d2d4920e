// `read_stream`: what an open pipe, device or file holds, read through the core's file reader.
#pragma once

#include "python/handle.hpp"

namespace qarv {

/// `read_stream(descriptor, limit)`, as an entry of the module's method table (null-terminated).
extern PyMethodDef stream_methods[];

} // namespace qarv
