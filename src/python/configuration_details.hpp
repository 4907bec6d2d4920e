// What the pre-flight checks learn of a configuration: its values, where each stands in the
// file, and the keys and tables loading passed over.
#pragma once

#include "python/handle.hpp"

namespace qarv {

/// `load_details` and `ignored_entries`, as entries of the module's method table
/// (null-terminated).
extern PyMethodDef configuration_details_methods[];

} // namespace qarv
