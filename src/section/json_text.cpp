// Compact JSON text of JSON values.
#include "section/json_text.hpp"

#include <cmath>
#include <cstdint>
#include <string_view>

#include "text/float_text.hpp"
#include "text/quoted.hpp"

namespace qarv {
namespace {

using nlohmann::json;

void append_json(std::string& out, const json& value) {
    switch (value.type()) {
    case json::value_t::null:
    case json::value_t::discarded: out += "null"; break;
    case json::value_t::boolean: out += value.get<bool>() ? "true" : "false"; break;
    case json::value_t::number_unsigned: out += std::to_string(value.get<std::uint64_t>()); break;
    case json::value_t::number_integer: out += std::to_string(value.get<std::int64_t>()); break;
    case json::value_t::number_float: {
        const double number = value.get<double>();
        if (std::isfinite(number)) append_json_float(out, number);
        else out += "null";
        break;
    }
    case json::value_t::string: append_quoted(out, value.get_ref<const std::string&>()); break;
    case json::value_t::array: {
        out += '[';
        bool first = true;
        for (const json& element : value) {
            if (!first) out += ',';
            first = false;
            append_json(out, element);
        }
        out += ']';
        break;
    }
    case json::value_t::object: {
        out += '{';
        bool first = true;
        for (const auto& [key, member] : value.items()) {
            if (!first) out += ',';
            first = false;
            append_quoted(out, key);
            out += ':';
            append_json(out, member);
        }
        out += '}';
        break;
    }
    case json::value_t::binary: out += "null"; break; // never built by this module
    }
}

} // namespace

std::string compact_json(const json& value) {
    std::string out;
    append_json(out, value);
    return out;
}

} // namespace qarv
