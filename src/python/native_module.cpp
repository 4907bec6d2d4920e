// `qarv_convert._native`: a private module that hands the command line the data only the C++ side
// has. It is not part of `qarv_convert_inner`, whose surface stays exactly its two functions.
// Each concern keeps its functions in a file of its own; this one puts them together.
#include "python/command_runs.hpp"
#include "python/configuration_details.hpp"
#include "python/configuration_fault.hpp"
#include "python/declarations.hpp"
#include "python/live_passthrough.hpp"
#include "python/onnx_objects.hpp"
#include "python/panic.hpp"
#include "python/stream_reading.hpp"

namespace qarv {
namespace {

PyModuleDef native_definition = {
    PyModuleDef_HEAD_INIT, "qarv_convert._native", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* create_module() {
    PyRef module = PyRef::steal(PyModule_Create(&native_definition));
    if (!module) return nullptr;
    for (PyMethodDef* methods : {declaration_methods, configuration_details_methods, onnx_methods, command_run_methods,
                                 passthrough_methods, stream_methods})
        if (PyModule_AddFunctions(module.get(), methods) < 0) return nullptr;
    if (!add_declarations(module.get()) || !add_write_error_type(module.get()) ||
        !add_configuration_fault_type(module.get()))
        return nullptr;
    return module.release();
}

} // namespace
} // namespace qarv

PyMODINIT_FUNC PyInit__native() noexcept { return qarv::run_guarded("qarv_convert._native", qarv::create_module); }
