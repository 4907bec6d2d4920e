// The configuration details of the pre-flight checks as Python objects.
#include "python/configuration_details.hpp"

#include <optional>
#include <string>
#include <vector>

#include "configuration/json_form.hpp"
#include "loading/ignored_entries.hpp"
#include "loading/key_positions.hpp"
#include "loading/load_configuration.hpp"
#include "python/arguments.hpp"
#include "python/configuration_fault.hpp"
#include "python/json_objects.hpp"
#include "python/signals.hpp"

namespace qarv {
namespace {

/// The file named by the `str` argument, read as the conversion reads it, or none with the error
/// set: `ConfigurationFault` of kind "read" for a read failure, the handler's exception when a
/// signal interrupted the read.
std::optional<std::string> read_or_raise(PyObject* path_argument) {
    std::optional<std::string> path = str_argument(path_argument, "a path");
    if (!path) return std::nullopt;
    auto text = read_configuration_text(*path, stop_on_signal());
    if (!text) {
        if (text.error().kind != LoadError::Kind::interrupted)
            raise_read_fault(text.error().message, path_argument);
        return std::nullopt;
    }
    return std::move(text).value();
}

/// The rendered warnings of a checked configuration as a list, or its loading error raised as
/// `ConfigurationFault` with the same text as the conversion's.
PyObject* warnings_or_raise(Result<CheckedConfiguration, TomlError> checked, PyObject* path) {
    if (!checked) return raise_configuration_fault(checked.error(), path);
    PyRef list = adopt_or_fail(PyList_New(0));
    for (const TomlError& warning : checked.value().warnings)
        append(list.get(), make_str(render(warning, "warning")).get());
    return list.release();
}

/// Loads the file as the conversion would, then lists the rendered warnings about the keys and
/// tables that loading passed over.
PyObject* ignored_entries_impl(PyObject* path_argument) {
    std::optional<std::string> text = read_or_raise(path_argument);
    if (!text) return nullptr;
    return warnings_or_raise(check_configuration(std::move(*text)), path_argument);
}

/// Each section's values as loaded, defaults filled in; an absent optional section is null. A
/// value of more than `max_checked_values` elements is cut to them, and `cut` gets its dotted key
/// and full count.
nlohmann::json configuration_values(const Configuration& configuration, nlohmann::json& cut) {
    nlohmann::json sections = nlohmann::json::object();
    for_each_section([&](const auto& section) {
        using Record = typename std::remove_cvref_t<decltype(section)>::record_type;
        const Record* record = find_record(configuration, section);
        nlohmann::json& values = sections[std::string(section.name)];
        if (!record) return;
        values = nlohmann::json::object();
        for_each_field<Record>([&](const auto& field) {
            CutJsonBuilder builder(max_checked_values);
            write_json_form(record->*(field.member), builder);
            values[std::string(field.name)] = builder.take();
            if (builder.cut()) cut[std::string(section.name) + "." + std::string(field.name)] = builder.elements();
        });
    });
    return sections;
}

PyRef position_tuple(const TextPosition& at) {
    return adopt_or_fail(Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(at.line), static_cast<Py_ssize_t>(at.column),
                                       static_cast<Py_ssize_t>(at.carets)));
}

/// The configuration at `path` loaded as the conversion loads it (its errors raise
/// `ConfigurationFault` with the same text): {"text", "values", "cut", "cut_at", "positions",
/// "tables", "warnings"}. `values` holds at most `cut_at` elements of each key, and `cut` maps the
/// dotted key of each one cut short to its full count of elements. `positions` maps each dotted
/// key to (line, column, carets) of its value, `tables` each table to its header's; `warnings`
/// lists the ignored keys as dicts of "key", "position" (None for the count past the named ones)
/// and "message".
PyObject* load_details_impl(PyObject* const* args, Py_ssize_t nargs) {
    if (!arguments_fit("load_details", nargs, 1, 2)) return nullptr;
    std::optional<std::string> text = read_or_raise(args[0]);
    if (!text) return nullptr;
    std::optional<std::vector<std::string>> overrides = override_texts(args, nargs, 1);
    if (!overrides) return nullptr;
    auto details = configuration_details(std::move(*text), *overrides);
    if (!details) return raise_configuration_fault(details.error(), args[0]);
    const ConfigurationDetails& loaded = details.value();
    PyRef positions = adopt_or_fail(PyDict_New());
    PyRef tables = adopt_or_fail(PyDict_New());
    for (const KeyPosition& entry : loaded.positions)
        set_item(entry.table ? tables.get() : positions.get(), entry.key.c_str(), position_tuple(entry.position));
    PyRef warnings = adopt_or_fail(PyList_New(0));
    std::vector<ByteSpan> spans;
    for (const TomlError& warning : loaded.warnings) spans.push_back(warning.span.value_or(ByteSpan{}));
    const std::vector<TextPosition> found = positions_of(*loaded.text, spans);
    for (std::size_t i = 0; i < loaded.warnings.size(); ++i) {
        const TomlError& warning = loaded.warnings[i];
        PyRef item = adopt_or_fail(PyDict_New());
        std::string key;
        for (const std::string& part : warning.keys) key += (key.empty() ? "" : ".") + part;
        set_item(item.get(), "key", make_str(key));
        // The count of the ignored keys past the named ones is about the file as a whole.
        set_item(item.get(), "position", warning.span ? position_tuple(found[i]) : PyRef::borrow(Py_None));
        set_item(item.get(), "message", make_str(warning.message));
        append(warnings.get(), item.get());
    }
    PyRef dict = adopt_or_fail(PyDict_New());
    set_item(dict.get(), "text", make_str(*loaded.text));
    nlohmann::json cut = nlohmann::json::object();
    set_item(dict.get(), "values", python_value(configuration_values(loaded.configuration, cut)));
    set_item(dict.get(), "cut", python_value(cut));
    set_item(dict.get(), "cut_at", adopt_or_fail(PyLong_FromSize_t(max_checked_values)));
    set_item(dict.get(), "positions", std::move(positions));
    set_item(dict.get(), "tables", std::move(tables));
    set_item(dict.get(), "warnings", std::move(warnings));
    return dict.release();
}

} // namespace

PyMethodDef configuration_details_methods[] = {
    {"ignored_entries", guarded<"qarv_convert._native", ignored_entries_impl>, METH_O,
     "ignored_entries(path)\n--\n\nWarnings about the keys and tables that the configuration ignores."},
    {"load_details", guarded_fastcall<"qarv_convert._native", load_details_impl>(), METH_FASTCALL,
     "load_details(path, overrides=())\n--\n\nThe loaded configuration with the position of every value and table header."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace qarv
