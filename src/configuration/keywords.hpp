// The keyword arguments that each toolkit step receives, built from its section record.
#pragma once

#include "configuration/records.hpp"
#include "python.hpp"

namespace qarv {

/// A new dict of the section's keywords, in the order the step takes them. Needs the interpreter
/// lock. Absent optionals are left out, except those the toolkit must always see (as `None`).
PyResult<PyRef> to_keyword_arguments(const ConfigConfig& section);
/// Also reads the initial-value file with NumPy when the section names one.
PyResult<PyRef> to_keyword_arguments(const OnnxLoadConfig& section);
PyResult<PyRef> to_keyword_arguments(const BuildConfig& section);
PyResult<PyRef> to_keyword_arguments(const AccuracyAnalysisConfig& section);

} // namespace qarv
