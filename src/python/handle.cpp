// The one path by which a failure to make a basic object leaves the Python-facing code.
#include "python/handle.hpp"

#include "python/panic.hpp"
#include "result.hpp"

namespace qarv {

void fail_internally() {
    display_pending();
    throw InternalFailure("Python API call failed");
}

} // namespace qarv
