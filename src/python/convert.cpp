// The conversion driver: the body of `rust_convert`.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "python/bodies.hpp"
#include "python/keywords.hpp"

namespace qarv {
namespace {

/// A new `QARV` toolkit object. The module and the class are dropped as soon as it exists.
PyResult<PyRef> create_toolkit() {
    PyResult<PyRef> module = call_python([] { return PyImport_Import(interned<"qarv.api">()); });
    if (!module) return std::move(module).error();
    PyResult<PyRef> toolkit_class = get_attribute(module.value().get(), interned<"QARV">());
    if (!toolkit_class) return std::move(toolkit_class).error();
    return call_python([&] { return PyObject_CallNoArgs(toolkit_class.value().get()); });
}

/// Raises `type(text)` and takes it straight back as the run's error, so that driver-made
/// failures carry their text the same way the toolkit's own exceptions do.
ConversionError raised(PyObject* type, const std::string& text) {
    PyRef message = make_str(text);
    PyErr_SetObject(type, message.get());
    return take_raised_exception();
}

/// Checks what a toolkit step returned: its result must read as a signed 32-bit code, and only
/// zero lets the run go on.
std::optional<ConversionError> check_result(std::string_view method, PyResult<PyRef> result) {
    if (!result) return std::move(result).error();
    // -1 is a valid code; only a pending exception makes it a failed conversion.
    const long code = PyLong_AsLong(result.value().get());
    if (code == -1 && PyErr_Occurred()) return take_raised_exception();
    if (code < std::numeric_limits<std::int32_t>::min() || code > std::numeric_limits<std::int32_t>::max())
        return raised(PyExc_OverflowError, "out of range integral type conversion attempted");
    if (code != 0)
        return raised(PyExc_RuntimeError,
                      "qarv." + std::string(method) + " failed with code " + std::to_string(code));
    return std::nullopt;
}

/// The interned name of the toolkit method of `Record`'s step, made once per process from the
/// declaration.
template <class Record>
PyObject* method_name() {
    static PyObject* const object =
        adopt_or_fail(PyUnicode_InternFromString(std::string(section_of<Record>().method).c_str())).release();
    return object;
}

/// Looks up and calls the toolkit's method `name` in one step, with `positional` (when given)
/// and `keywords`, and checks its result code.
std::optional<ConversionError> call_method(PyObject* toolkit, std::string_view method, PyObject* name,
                                           PyObject* positional, const KeywordArguments& keywords) {
    std::array<PyObject*, 2 + KeywordArguments::capacity> arguments{toolkit};
    std::size_t count = 1;
    if (positional) arguments[count++] = positional;
    std::copy_n(keywords.values(), keywords.size(), arguments.begin() + static_cast<std::ptrdiff_t>(count));
    PyRef names = keywords.names();
    return check_result(method, call_python([&] {
        return PyObject_VectorcallMethod(name, arguments.data(), count, names.get());
    }));
}

/// One step as its section declares it. The keywords are all made before the method is looked
/// up, so a bad section (say, an unreadable initial-value file) fails without touching the toolkit.
template <class Record, class Member>
std::optional<ConversionError> run_step(PyObject* toolkit, const Section<Record, Member>& section,
                                        const Record& record) {
    if (!step_runs(section, record)) return std::nullopt;
    PyResult<KeywordArguments> keywords = to_keyword_arguments(record);
    if (!keywords) return std::move(keywords).error();
    PyRef positional = positional_argument(record);
    return call_method(toolkit, section.method, method_name<Record>(), positional.get(), keywords.value());
}

/// The steps in the order of the sections; the first failure ends the run.
std::optional<ConversionError> run_steps(PyObject* toolkit, const Configuration& configuration) {
    std::optional<ConversionError> failure;
    for_each_section([&](const auto& section) {
        if (failure) return;
        if (const auto* record = find_record(configuration, section)) failure = run_step(toolkit, section, *record);
    });
    return failure;
}

} // namespace

std::optional<ConversionError> run_conversion(const std::string& path, const std::vector<std::string>& overrides) {
    std::unique_ptr<const Configuration> configuration;
    if (std::optional<ConversionError> failure = load_onto_heap(path, overrides, configuration)) return failure;

    PyResult<PyRef> toolkit = create_toolkit();
    if (!toolkit) return std::move(toolkit).error();
    // The toolkit is dropped before the configuration; no method is called to close it.
    return run_steps(toolkit.value().get(), *configuration);
}

} // namespace qarv
