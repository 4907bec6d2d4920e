// `qarv_convert._native`: a private module that hands the command line the data only the C++ side
// has. It is not part of `qarv_convert_inner`, whose surface stays exactly its two functions.
#include "python.hpp"

namespace {

PyMethodDef native_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef native_definition = {
    PyModuleDef_HEAD_INIT, "qarv_convert._native", "", -1, native_methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__native() noexcept { return PyModule_Create(&native_definition); }
