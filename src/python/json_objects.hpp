// JSON values (the form the core gives loaded values in) as Python objects.
#pragma once

#include <nlohmann/json.hpp>

#include "python/handle.hpp"

namespace qarv {

/// A JSON value as Python objects: objects as dicts, arrays as lists, numbers as int or float.
PyRef python_value(const nlohmann::json& value);

} // namespace qarv
