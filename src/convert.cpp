// The conversion driver: the body of `rust_convert`.
#include <cstdint>
#include <limits>
#include <string>

#include "python.hpp"
#include "configuration/keywords.hpp"
#include "functions.hpp"

namespace qarv {
namespace {

/// A new `QARV` toolkit object. The module and the class are dropped as soon as it exists.
PyResult<PyRef> create_toolkit() {
    // Not interned: nothing else keeps an interned "qarv.api" alive, so interning it would add
    // and drop an entry of the interpreter's interned-string table on every run, and now and
    // then make that table reallocate (about 1 MB).
    PyRef module_name = make_str("qarv.api");
    PyResult<PyRef> module = checked(PyImport_Import(module_name.get()));
    if (!module) return std::move(module).error();
    PyResult<PyRef> toolkit_class = get_attribute(module.value().get(), "QARV");
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
std::optional<ConversionError> check_result(const char* step, PyResult<PyRef> result) {
    if (!result) return std::move(result).error();
    // -1 is a valid code; only a pending exception makes it a failed conversion.
    const long code = PyLong_AsLong(result.value().get());
    if (code == -1 && PyErr_Occurred()) return take_raised_exception();
    if (code < std::numeric_limits<std::int32_t>::min() || code > std::numeric_limits<std::int32_t>::max())
        return raised(PyExc_OverflowError, "out of range integral type conversion attempted");
    if (code != 0)
        return raised(PyExc_RuntimeError, "qarv." + std::string(step) + " failed with code " + std::to_string(code));
    return std::nullopt;
}

/// One keyword-taking step: its dictionary is built before the method is looked up, so a bad
/// section (say, an unreadable initial-value file) fails without touching the toolkit.
/// `positional`, when given, is the step's single positional argument.
template <class Record>
std::optional<ConversionError> call_toolkit_step(PyObject* toolkit, const char* step, const Record& section,
                                                 PyObject* positional = nullptr) {
    PyResult<PyRef> keywords = to_keyword_arguments(section);
    if (!keywords) return std::move(keywords).error();
    PyResult<PyRef> method = get_attribute(toolkit, step);
    if (!method) return std::move(method).error();

    if (positional) {
        PyObject* arguments[] = {positional};
        return check_result(step, checked(PyObject_VectorcallDict(method.value().get(), arguments, 1,
                                                                  keywords.value().get())));
    }
    PyRef no_arguments = created(PyTuple_New(0));
    return check_result(step, checked(PyObject_Call(method.value().get(), no_arguments.get(), keywords.value().get())));
}

/// `export_qarv(path)`, where the path is `None` when the file names none.
std::optional<ConversionError> export_model(PyObject* toolkit, const ExportConfig& section) {
    PyRef name = interned("export_qarv");
    PyRef path = section.export_path ? make_str(*section.export_path) : PyRef::borrow(Py_None);
    PyObject* arguments[] = {toolkit, path.get()};
    return check_result("export_qarv",
                        checked(PyObject_VectorcallMethod(name.get(), arguments, 2, nullptr)));
}

/// The steps in their fixed order; the first failure ends the run.
std::optional<ConversionError> run_steps(PyObject* toolkit, const Configuration& configuration) {
    if (auto error = call_toolkit_step(toolkit, "config", configuration.config)) return error;
    const OnnxLoadConfig& load = configuration.load.onnx;
    PyRef model = make_str(load.model);
    if (auto error = call_toolkit_step(toolkit, "load_onnx", load, model.get())) return error;
    if (auto error = call_toolkit_step(toolkit, "build", configuration.build)) return error;
    // An analysis without inputs has nothing to run on: the step is skipped without a word.
    const auto& analysis = configuration.accuracy_analysis;
    if (analysis && !analysis->inputs.empty())
        if (auto error = call_toolkit_step(toolkit, "accuracy_analysis", *analysis)) return error;
    return export_model(toolkit, configuration.export_);
}

} // namespace

std::optional<ConversionError> run_conversion(const std::string& path) {
    auto configuration = load_configuration(path);
    if (!configuration) return ConversionError::from(std::move(configuration).error());

    PyResult<PyRef> toolkit = create_toolkit();
    if (!toolkit) return std::move(toolkit).error();
    // The toolkit is dropped before the configuration; no method is called to close it.
    return run_steps(toolkit.value().get(), configuration.value());
}

} // namespace qarv
