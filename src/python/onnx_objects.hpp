// `read_onnx_graph`: a model's graph interface as Python objects, for the pre-flight and `init`.
#pragma once

#include "python/handle.hpp"

namespace qarv {

/// `read_onnx_graph(path)`, as an entry of the module's method table (null-terminated).
extern PyMethodDef onnx_methods[];

} // namespace qarv
