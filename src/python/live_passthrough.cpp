// The functions of `qarv_convert._native` over the process's one terminal passthrough.
#include "python/live_passthrough.hpp"

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "python/arguments.hpp"
#include "terminal/passthrough.hpp"

namespace qarv {
namespace {

/// The one passthrough of the process (descriptors are the process's), while a live line is shown.
/// Shared, so that a draw from another thread, already past the interpreter lock, keeps it alive
/// while `passthrough_stop` ends it.
std::shared_ptr<Passthrough> passthrough;

/// A `str` argument as UTF-8 bytes, or none with the error set.
std::optional<std::string_view> text_argument(PyObject* const* args, Py_ssize_t nargs, const char* function) {
    if (!arguments_fit(function, nargs, 1, 1)) return std::nullopt;
    if (!PyUnicode_Check(args[0])) {
        PyErr_Format(PyExc_TypeError, "%s() takes a str", function);
        return std::nullopt;
    }
    return qarv::utf8_text(args[0]);
}

/// `passthrough_start(terminal, descriptors)`: what is written to `descriptors` goes above the
/// live line on `terminal` from now on; False (nothing changed) when that cannot be set up.
PyObject* passthrough_start_impl(PyObject* const* args, Py_ssize_t nargs) {
    if (!arguments_fit("passthrough_start", nargs, 2, 2)) return nullptr;
    const long terminal = PyLong_AsLong(args[0]);
    if (terminal == -1 && PyErr_Occurred()) return nullptr;
    PyRef items = sequence_items(args[1], "a list of descriptors");
    if (!items) return nullptr;
    std::vector<int> descriptors;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        const long descriptor = PyLong_AsLong(PySequence_Fast_GET_ITEM(items.get(), i));
        if (descriptor == -1 && PyErr_Occurred()) return nullptr;
        descriptors.push_back(static_cast<int>(descriptor));
    }
    if (passthrough) Py_RETURN_FALSE;
    passthrough = Passthrough::start(static_cast<int>(terminal), descriptors);
    return PyBool_FromLong(passthrough != nullptr);
}

/// `passthrough_show(text)`: `text` as the live line.
PyObject* passthrough_show_impl(PyObject* const* args, Py_ssize_t nargs) {
    std::optional<std::string_view> text = text_argument(args, nargs, "passthrough_show");
    if (!text) return nullptr;
    if (const std::shared_ptr<Passthrough> held = passthrough) {
        Py_BEGIN_ALLOW_THREADS
        held->show(*text);
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

/// Whether the exception being handled is a KeyboardInterrupt: the run is ending on a signal, and
/// a terminal whose output is stopped is not to be waited on.
bool unwinding_an_interrupt() {
    PyObject* handled = PyErr_GetHandledException();
    const bool interrupted = handled != nullptr && PyErr_GivenExceptionMatches(handled, PyExc_KeyboardInterrupt);
    Py_XDECREF(handled);
    return interrupted;
}

/// `passthrough_write(text)`: `text` on the terminal in the live line's place.
PyObject* passthrough_write_impl(PyObject* const* args, Py_ssize_t nargs) {
    std::optional<std::string_view> text = text_argument(args, nargs, "passthrough_write");
    if (!text) return nullptr;
    if (const std::shared_ptr<Passthrough> held = passthrough) {
        const bool wait = !unwinding_an_interrupt();
        Py_BEGIN_ALLOW_THREADS
        held->write(*text, wait);
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

/// `passthrough_stop()`: the descriptors back as they were, what is still in the pipes passed on;
/// called while a KeyboardInterrupt unwinds the run, only what the terminal takes at once.
PyObject* passthrough_stop_impl(PyObject* const*, Py_ssize_t) {
    const std::shared_ptr<Passthrough> ending = std::move(passthrough);
    if (ending) {
        const bool interrupted = unwinding_an_interrupt();
        Py_BEGIN_ALLOW_THREADS
        ending->stop(interrupted);
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

} // namespace

PyMethodDef passthrough_methods[] = {
    {"passthrough_start", guarded_fastcall<"qarv_convert._native", passthrough_start_impl>(), METH_FASTCALL,
     "passthrough_start(terminal, descriptors)\n--\n\nPasses the descriptors' output above the live line."},
    {"passthrough_show", guarded_fastcall<"qarv_convert._native", passthrough_show_impl>(), METH_FASTCALL,
     "passthrough_show(text)\n--\n\nDraws the live line."},
    {"passthrough_write", guarded_fastcall<"qarv_convert._native", passthrough_write_impl>(), METH_FASTCALL,
     "passthrough_write(text)\n--\n\nWrites to the terminal in the live line's place."},
    {"passthrough_stop", guarded_fastcall<"qarv_convert._native", passthrough_stop_impl>(), METH_FASTCALL,
     "passthrough_stop()\n--\n\nPuts the descriptors back."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace qarv
