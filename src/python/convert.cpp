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
    PyResult<PyRef> module = checked(PyImport_Import(interned<"qarv.api">()));
    if (!module) return std::move(module).error();
    PyResult<PyRef> toolkit_class = get_attribute(module.value().get(), interned<"QARV">());
    if (!toolkit_class) return std::move(toolkit_class).error();
    return checked(PyObject_CallNoArgs(toolkit_class.value().get()));
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
std::optional<ConversionError> check_result(std::string_view step, PyResult<PyRef> result) {
    if (!result) return std::move(result).error();
    // -1 is a valid code; only a pending exception makes it a failed conversion.
    const long code = PyLong_AsLong(result.value().get());
    if (code == -1 && PyErr_Occurred()) return take_raised_exception();
    if (code < std::numeric_limits<std::int32_t>::min() || code > std::numeric_limits<std::int32_t>::max())
        return raised(PyExc_OverflowError, "out of range integral type conversion attempted");
    if (code != 0)
        return raised(PyExc_RuntimeError,
                      "qarv." + std::string(step) + " failed with code " + std::to_string(code));
    return std::nullopt;
}

/// The interned name of the method named after `Record`'s section, made once per process from
/// the first `name` it is asked for (each record has one section).
template <class Record>
PyObject* section_method(std::string_view name) {
    static PyObject* const object = adopt_or_fail(PyUnicode_InternFromString(std::string(name).c_str())).release();
    return object;
}

/// Looks up and calls the toolkit's method `name` in one step, with `positional` (when given)
/// and `keywords`, and checks its result code.
std::optional<ConversionError> call_method(PyObject* toolkit, std::string_view step, PyObject* name,
                                           PyObject* positional, const KeywordArguments& keywords) {
    std::array<PyObject*, 2 + KeywordArguments::capacity> arguments{toolkit};
    std::size_t count = 1;
    if (positional) arguments[count++] = positional;
    std::copy_n(keywords.values(), keywords.size(), arguments.begin() + static_cast<std::ptrdiff_t>(count));
    PyRef names = keywords.names();
    return check_result(step, checked(PyObject_VectorcallMethod(name, arguments.data(), count, names.get())));
}

/// One step that takes keywords: they are all made before the method is looked up, so a bad
/// section (say, an unreadable initial-value file) fails without touching the toolkit.
/// `positional`, when given, is the step's single positional argument.
template <class Record>
std::optional<ConversionError> call_toolkit_step(PyObject* toolkit, std::string_view step, PyObject* name,
                                                 const Record& section, PyObject* positional = nullptr) {
    PyResult<KeywordArguments> keywords = to_keyword_arguments(section);
    if (!keywords) return std::move(keywords).error();
    return call_method(toolkit, step, name, positional, keywords.value());
}

/// The steps of `config`, `build` and `accuracy_analysis`: the method named after the section,
/// called with keywords only.
template <class Record>
std::optional<ConversionError> run_step(PyObject* toolkit, std::string_view section, const Record& record) {
    return call_toolkit_step(toolkit, section, section_method<Record>(section), record);
}

/// An analysis without inputs has nothing to run on: the step is skipped without a word.
std::optional<ConversionError> run_step(PyObject* toolkit, std::string_view section,
                                        const AccuracyAnalysisConfig& record) {
    if (record.inputs.empty()) return std::nullopt;
    return call_toolkit_step(toolkit, section, section_method<AccuracyAnalysisConfig>(section), record);
}

/// `load_onnx(model, **keywords)`.
std::optional<ConversionError> run_step(PyObject* toolkit, std::string_view, const OnnxLoadConfig& record) {
    PyRef model = make_str(record.model);
    return call_toolkit_step(toolkit, "load_onnx", interned<"load_onnx">(), record, model.get());
}

/// `export_qarv(path)`, where the path is `None` when the file names none.
std::optional<ConversionError> run_step(PyObject* toolkit, std::string_view, const ExportConfig& record) {
    PyRef path = record.export_path ? make_str(*record.export_path) : PyRef::borrow(Py_None);
    return call_method(toolkit, "export_qarv", interned<"export_qarv">(), path.get(), KeywordArguments());
}

/// The steps in the order of the sections; the first failure ends the run.
std::optional<ConversionError> run_steps(PyObject* toolkit, const Configuration& configuration) {
    std::optional<ConversionError> failure;
    for_each_section([&](const auto& section) {
        if (failure) return;
        if (const auto* record = find_record(configuration, section))
            failure = run_step(toolkit, section.name, *record);
    });
    return failure;
}

} // namespace

std::optional<ConversionError> run_conversion(const std::string& path) { return run_conversion_with(path, {}); }

std::optional<ConversionError> run_conversion_with(const std::string& path, const std::vector<std::string>& overrides) {
    PyResult<Configuration> configuration = load_or_stop(path, overrides);
    if (!configuration) return std::move(configuration).error();

    PyResult<PyRef> toolkit = create_toolkit();
    if (!toolkit) return std::move(toolkit).error();
    // The toolkit is dropped before the configuration; no method is called to close it.
    return run_steps(toolkit.value().get(), configuration.value());
}

} // namespace qarv
