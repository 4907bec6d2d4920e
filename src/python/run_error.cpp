// The failure value of a run: how a raised exception is taken and how its text is made.
#include "python/run_error.hpp"

#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <optional>

#include "python/panic.hpp"
#include "python/shims.hpp"
#include "text/utf8.hpp"

namespace qarv {
namespace {

/// `str(object)` as UTF-8, with lone surrogates passed through and then replaced; none when
/// `str` itself raises.
std::optional<std::string> string_form(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    PyRef bytes = text ? PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass")) : PyRef();
    if (!bytes) {
        PyErr_Clear();
        return std::nullopt;
    }
    return utf8::decode_lossy(std::string_view(PyBytes_AS_STRING(bytes.get()),
                                               static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

} // namespace

ConversionError ConversionError::from(LoadError error) {
    switch (error.kind) {
    case LoadError::Kind::file_read: return {Kind::file_read, std::move(error.message), PyRef()};
    case LoadError::Kind::configuration:
        return {Kind::configuration, std::move(error.message), PyRef(), std::move(error.fault)};
    case LoadError::Kind::interrupted: break;
    }
    return interrupted();
}

ConversionError ConversionError::interrupted() {
    ConversionError stop = take_raised_exception();
    stop.kind = Kind::stop;
    return stop;
}

ConversionError ConversionError::python(PyRef exception) {
    return {Kind::python, {}, std::move(exception)};
}

std::string ConversionError::text() const {
    if (kind != Kind::python) return message;
    PyRef qualified_name = adopt_or_fail(PyType_GetQualName(Py_TYPE(exception.get())));
    std::string out = string_form(qualified_name.get()).value_or("<unknown>");
    out += ": ";
    out += string_form(exception.get()).value_or("<exception str() failed>");
    return out;
}

namespace {

/// Room that must be left below a call into Python: enough for that Python code's own frames up
/// to its next call into this module, which checks again.
constexpr std::size_t stack_reserve = 64 * 1024;

/// The lowest usable address of the calling thread's stack, found once per thread; 0 when the
/// system does not say.
std::uintptr_t stack_floor() {
    thread_local const std::uintptr_t floor = [] {
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0) return std::uintptr_t{0};
        void* low = nullptr;
        std::size_t size = 0;
        const bool known = pthread_attr_getstack(&attributes, &low, &size) == 0;
        pthread_attr_destroy(&attributes);
        return known ? reinterpret_cast<std::uintptr_t>(low) : std::uintptr_t{0};
    }();
    return floor;
}

} // namespace

bool stack_has_room() {
    const char here = 0;
    const auto position = reinterpret_cast<std::uintptr_t>(&here);
    const std::uintptr_t floor = stack_floor();
    if (floor == 0 || position - floor >= stack_reserve) return true;
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling the toolkit");
    return false;
}

std::optional<ConversionError> load_onto_heap(const std::string& path, const std::vector<std::string>& overrides,
                                              std::unique_ptr<const Configuration>& out) {
    PyResult<Configuration> loaded = load_or_stop(path, overrides);
    if (!loaded) return std::move(loaded).error();
    out = std::make_unique<const Configuration>(std::move(loaded).value());
    return std::nullopt;
}

ConversionError take_raised_exception() {
    PyObject* raised = fetch_raised();
    if (!raised) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        raised = fetch_raised();
    }
    PyRef exception = PyRef::steal(raised);
    if (is_panic(exception.get())) {
        std::fputs("--- PanicException from Python code ---\n", stderr);
        std::fputs("Python stack trace below:\n", stderr);
        std::fflush(stderr);
        const std::string message = string_form(exception.get()).value_or("Unwrapped panic from Python code");
        display_raised(exception.get());
        throw InternalFailure(message);
    }
    if (PyErr_GivenExceptionMatches(exception.get(), PyExc_KeyboardInterrupt))
        return {ConversionError::Kind::stop, {}, std::move(exception)};
    return ConversionError::python(std::move(exception));
}

} // namespace qarv
