// The keyword arguments that each toolkit step receives, built from its section record.
#pragma once

#include "configuration/records.hpp"
#include "python/run_error.hpp"

namespace qarv {

/// A new dict of the section's keywords, in declaration order. Needs the interpreter lock. Absent
/// optionals are left out, except those the toolkit must always see (as `None`).
PyResult<PyRef> to_keyword_arguments(const ConfigConfig& section);
PyResult<PyRef> to_keyword_arguments(const BuildConfig& section);
PyResult<PyRef> to_keyword_arguments(const AccuracyAnalysisConfig& section);

/// The keywords of `load_onnx`: the names before the shapes, and last the arrays read with NumPy
/// from the initial-value file when the section names one. The model goes positionally.
PyResult<PyRef> to_keyword_arguments(const OnnxLoadConfig& section);

} // namespace qarv
