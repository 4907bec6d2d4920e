// The module constants of `qarv_convert._native` that hand the command line the declarations'
// facts about tables, keys and steps, so that it never restates one, and the schema made of them.
#include "python/declarations.hpp"

#include <string>
#include <type_traits>

#include "configuration/records.hpp"
#include "configuration/schema.hpp"
#include "configuration/json_form.hpp"
#include "python/arguments.hpp"
#include "python/json_objects.hpp"
#include "text/bounded.hpp"

namespace qarv {
namespace {

PyRef str_or_none(std::string_view text) {
    return text.empty() ? PyRef::borrow(Py_None) : make_str(text);
}

/// `STEPS`: the toolkit steps in calling order, each as (table name, method name).
PyRef steps_tuple() {
    PyRef steps = adopt_or_fail(PyTuple_New(section_count));
    Py_ssize_t index = 0;
    for_each_section([&](const auto& section) {
        PyRef step = adopt_or_fail(PyTuple_New(2));
        PyTuple_SET_ITEM(step.get(), 0, make_str(section.name).release());
        PyTuple_SET_ITEM(step.get(), 1, make_str(section.method).release());
        PyTuple_SET_ITEM(steps.get(), index++, step.release());
    });
    return steps;
}

/// `RUNS_WITH`: {table: list key} for each step that is skipped while that key holds no entry.
PyRef runs_with_dict() {
    PyRef rules = adopt_or_fail(PyDict_New());
    for_each_section([&](const auto& section) {
        if (!section.runs_with.empty()) set_item(rules.get(), std::string(section.name).c_str(), make_str(section.runs_with));
    });
    return rules;
}

/// Adds the plain words of `T`'s "expected" name, and of its elements', to `words`.
template <class T>
void add_type_words(PyObject* words) {
    if constexpr (is_optional_v<T>) {
        add_type_words<typename T::value_type>(words);
    } else {
        if (!ValueType<T>::in_words.empty())
            set_item(words, std::string(ValueType<T>::expected).c_str(), make_str(ValueType<T>::in_words));
        if constexpr (is_vector_v<T>) add_type_words<typename T::value_type>(words);
    }
}

/// `TYPE_WORDS`: {expected name: plain words} for every value type a key can hold.
PyRef type_words_dict() {
    PyRef words = adopt_or_fail(PyDict_New());
    for_each_section([&](const auto& section) {
        using Record = typename std::remove_cvref_t<decltype(section)>::record_type;
        for_each_field<Record>([&](const auto& field) {
            add_type_words<typename std::remove_cvref_t<decltype(field)>::value_type>(words.get());
        });
    });
    return words;
}

/// A bound of the whole-file schema's property, or None.
PyRef bound(const nlohmann::json& property, const char* name) {
    const auto found = property.find(name);
    if (found == property.end()) return PyRef::borrow(Py_None);
    if (found->is_number_unsigned()) return adopt_or_fail(PyLong_FromUnsignedLongLong(found->get<std::uint64_t>()));
    return adopt_or_fail(PyLong_FromLongLong(found->get<std::int64_t>()));
}

/// `KEYS`: {"table.key": {"expected", "minimum", "maximum", "min_length", "choose", "placeholder"}}
/// for every key: the name loading expects its values by, the limits `check` holds it to (those
/// of the whole-file schema), and what `init` marks CHOOSE with the value that holds its place
/// (both None for a key whose default is a real value).
PyRef keys_dict() {
    const nlohmann::json schema = configuration_schema_document();
    PyRef keys = adopt_or_fail(PyDict_New());
    for_each_section([&](const auto& section) {
        using Record = typename std::remove_cvref_t<decltype(section)>::record_type;
        const nlohmann::json& properties = schema["properties"][std::string(section.name)]["properties"];
        for_each_field<Record>([&](const auto& field) {
            using Value = typename std::remove_cvref_t<decltype(field)>::value_type;
            const nlohmann::json& property = properties[std::string(field.name)];
            PyRef facts = adopt_or_fail(PyDict_New());
            set_item(facts.get(), "expected", make_str(ValueType<Value>::expected));
            set_item(facts.get(), "minimum", bound(property, "minimum"));
            set_item(facts.get(), "maximum", bound(property, "maximum"));
            PyRef length = bound(property, "minLength");
            set_item(facts.get(), "min_length", length.get() == Py_None ? bound(property, "minItems") : std::move(length));
            set_item(facts.get(), "choose", str_or_none(field.choose.what));
            PyRef placeholder = PyRef::borrow(Py_None);
            if (!field.choose.what.empty())
                placeholder = field.choose.placeholder.empty() ? python_value(json_value(Record{}.*(field.member)))
                                                               : make_str(field.choose.placeholder);
            set_item(facts.get(), "placeholder", std::move(placeholder));
            set_item(keys.get(), (std::string(section.name) + "." + std::string(field.name)).c_str(), std::move(facts));
        });
    });
    return keys;
}

PyObject* configuration_schema_impl() {
    return make_str(configuration_schema_document().dump()).release();
}

} // namespace

PyMethodDef declaration_methods[] = {
    {"configuration_schema", guarded_noargs<"qarv_convert._native", configuration_schema_impl>, METH_NOARGS,
     "configuration_schema()\n--\n\nThe schema document of a whole configuration file, as compact JSON."},
    {nullptr, nullptr, 0, nullptr},
};

bool add_declarations(PyObject* module) {
    const std::pair<const char*, PyRef> constants[] = {
        {"STEPS", steps_tuple()},
        {"RUNS_WITH", runs_with_dict()},
        {"TYPE_WORDS", type_words_dict()},
        {"KEYS", keys_dict()},
        {"QUOTED_CHARACTERS", adopt_or_fail(PyLong_FromSize_t(quoted_characters))},
    };
    for (const auto& [name, value] : constants)
        if (PyModule_AddObjectRef(module, name, value.get()) < 0) return false;
    return true;
}

} // namespace qarv
