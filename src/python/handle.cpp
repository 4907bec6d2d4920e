// The one path by which a failure to make a basic object leaves the Python-facing code.
#include "python/handle.hpp"

#include <new>

#include "python/panic.hpp"
#include "result.hpp"

namespace qarv {

void fail_internally() {
    // Out of memory is no broken invariant: the edge raises MemoryError for it.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    display_pending();
    throw InternalFailure("Python API call failed");
}

} // namespace qarv
