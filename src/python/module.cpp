// The extension module `qarv_convert_inner`: initialisation, the two exported functions, their
// argument handling, and the edge where failures become Python exceptions.
#include <atomic>
#include <cstdint>

#include "python/bodies.hpp"
#include "python/handle.hpp"
#include "python/panic.hpp"
#include "python/shims.hpp"

namespace qarv {
namespace {

/// Both functions take exactly one argument, `path`, by position or by keyword. Sets a
/// `TypeError` and returns null when the call does not match.
PyObject* match_path(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd were given", function, nargs);
        return nullptr;
    }
    PyObject* path = nargs == 1 ? args[0] : nullptr;
    const Py_ssize_t nkeywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkeywords; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(name, "path") != 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, name);
            return nullptr;
        }
        if (path) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'path'", function);
            return nullptr;
        }
        path = args[nargs + i];
    }
    if (!path)
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'path'", function);
    return path;
}

/// The path as UTF-8 text. A non-`str` raises `TypeError` with no cause and a suppressed
/// context; a `str` that cannot be encoded raises the interpreter's own error.
std::optional<std::string> extract_path(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
        if (!type_name) return std::nullopt;
        PyErr_Format(PyExc_TypeError, "argument 'path': '%U' object cannot be converted to 'PyString'",
                     type_name.get());
        PyObject* raised = fetch_raised();
        PyException_SetCause(raised, nullptr); // also sets __suppress_context__
        restore_raised(raised);
        return std::nullopt;
    }
    std::optional<std::string_view> text = utf8_text(object);
    if (!text) return std::nullopt;
    return std::string(*text);
}

using Body = std::optional<ConversionError> (*)(const std::string&);

/// What both functions share: argument matching, the body, and the translation of its outcome
/// into `None` or `RuntimeError`.
PyObject* call_exported(const char* function, Body body, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* argument = match_path(function, args, nargs, kwnames);
    if (!argument) return nullptr;
    std::optional<std::string> path = extract_path(argument);
    if (!path) return nullptr;

    std::optional<ConversionError> error = body(*path);
    if (!error) Py_RETURN_NONE;
    if (error->kind == ConversionError::Kind::stop) {
        restore_raised(error->exception.release());
        return nullptr;
    }
    // The body has released everything it held; only now is the exception's text taken.
    const std::string text = error->text();
    error.reset();
    PyRef message = make_str(text);
    PyErr_SetObject(PyExc_RuntimeError, message.get());
    return nullptr;
}

} // namespace
} // namespace qarv

extern "C" {
static PyObject* rust_convert(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return qarv::run_guarded("rust_convert", [&] {
        return qarv::call_exported(
            "rust_convert", [](const std::string& path) { return qarv::run_conversion(path); }, args, nargs, kwnames);
    });
}

static PyObject* rust_explain(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return qarv::run_guarded("rust_explain", [&] {
        return qarv::call_exported("rust_explain", qarv::explain_configuration, args, nargs, kwnames);
    });
}
}

namespace qarv {
namespace {

PyMethodDef methods[] = {
    {"rust_convert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rust_convert)),
     METH_FASTCALL | METH_KEYWORDS, "rust_convert(path)\n--\n\n"},
    {"rust_explain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rust_explain)),
     METH_FASTCALL | METH_KEYWORDS, "rust_explain(path)\n--\n\n"},
};

PyModuleDef module_definition = {
    // A size of 0, not -1: on a second import the interpreter then calls the init function again,
    // which hands back the one module object (or refuses another interpreter), instead of copying
    // the first module's dictionary into a new module without asking.
    PyModuleDef_HEAD_INIT, "qarv_convert_inner", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

/// The interpreter that first imported the module; the module serves no other.
std::atomic<std::int64_t> owner_interpreter{-1};
/// Created once and kept until the interpreter is finalised.
PyObject* module_object = nullptr;

/// Runs once the interpreter is finalised: its module object died with it (its functions already
/// cleared to `None`), so an interpreter initialised afterwards in the same process imports a
/// module of its own.
void forget_module() noexcept {
    module_object = nullptr;
    owner_interpreter.store(-1);
}

/// Adds a function bound to the module as an attribute and to `__all__`.
bool add_function(PyObject* module, PyMethodDef* method) noexcept {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    PyRef function = PyRef::steal(PyCMethod_New(method, module, module_name.get(), nullptr));
    if (!function) return false;
    PyRef name = PyRef::steal(PyUnicode_FromString(method->ml_name));
    if (!name || PyObject_SetAttr(module, name.get(), function.get()) < 0) return false;

    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    return PyList_Append(all.get(), name.get()) == 0;
}

/// Every failure here is reported the way the interpreter expects of an init function: an
/// exception set and null returned. Nothing on this path throws.
PyObject* initialise() noexcept {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "qarv_convert_inner does not support subinterpreters: it is already loaded in "
                        "another interpreter of this process");
        return nullptr;
    }
    if (module_object) return Py_NewRef(module_object);

    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 1013));
    if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return nullptr;
#endif
    for (PyMethodDef& method : methods)
        if (!add_function(module.get(), &method)) return nullptr;
    if (Py_AtExit(forget_module) < 0) {
        PyErr_SetString(PyExc_ImportError, "qarv_convert_inner: no room left to register its clean-up at exit");
        return nullptr;
    }
    module_object = Py_NewRef(module.get());
    return module.release();
}

} // namespace
} // namespace qarv

PyMODINIT_FUNC PyInit_qarv_convert_inner() noexcept { return qarv::initialise(); }
