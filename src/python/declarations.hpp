// The declarations' facts about tables, keys and steps as constants of `qarv_convert._native`,
// and the schema document made of them.
#pragma once

#include "python/handle.hpp"

namespace qarv {

/// Adds `STEPS`, `RUNS_WITH`, `TYPE_WORDS`, `KEYS` and `QUOTED_CHARACTERS` to the new module; false with the error
/// set when it cannot (a failure to make an object is internal and throws).
bool add_declarations(PyObject* module);

/// `configuration_schema()`, as an entry of the module's method table (null-terminated).
extern PyMethodDef declaration_methods[];

} // namespace qarv
