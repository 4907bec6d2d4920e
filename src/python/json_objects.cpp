// JSON values as Python objects, member by member.
#include "python/json_objects.hpp"

#include <cstdint>
#include <string>

#include "result.hpp"

namespace qarv {

PyRef python_value(const nlohmann::json& value) {
    switch (value.type()) {
    case nlohmann::json::value_t::null: return PyRef::borrow(Py_None);
    case nlohmann::json::value_t::boolean: return PyRef::borrow(value.get<bool>() ? Py_True : Py_False);
    case nlohmann::json::value_t::number_unsigned:
        return adopt_or_fail(PyLong_FromUnsignedLongLong(value.get<std::uint64_t>()));
    case nlohmann::json::value_t::number_integer: return adopt_or_fail(PyLong_FromLongLong(value.get<std::int64_t>()));
    case nlohmann::json::value_t::number_float: return adopt_or_fail(PyFloat_FromDouble(value.get<double>()));
    case nlohmann::json::value_t::string: return make_str(value.get_ref<const std::string&>());
    case nlohmann::json::value_t::array: {
        PyRef list = adopt_or_fail(PyList_New(0));
        for (const nlohmann::json& element : value) append(list.get(), python_value(element).get());
        return list;
    }
    case nlohmann::json::value_t::object: {
        PyRef dict = adopt_or_fail(PyDict_New());
        for (const auto& [key, member] : value.items()) set_item(dict.get(), key.c_str(), python_value(member));
        return dict;
    }
    default: throw InternalFailure("a JSON value of no kind the configuration has");
    }
}

} // namespace qarv
