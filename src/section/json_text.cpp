// Writing JSON values as cell text, and comparing them.
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
        out += std::isfinite(number) ? json_float_text(number) : "null";
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

enum class NumberClass { non_negative, negative, floating };

NumberClass number_class(const json& number) {
    if (number.is_number_float()) return NumberClass::floating;
    if (number.is_number_unsigned()) return NumberClass::non_negative;
    return number.get<std::int64_t>() < 0 ? NumberClass::negative : NumberClass::non_negative;
}

bool numbers_equal(const json& a, const json& b) {
    const NumberClass kind = number_class(a);
    if (kind != number_class(b)) return false;
    switch (kind) {
    case NumberClass::floating: return a.get<double>() == b.get<double>();
    case NumberClass::negative: return a.get<std::int64_t>() == b.get<std::int64_t>();
    case NumberClass::non_negative: return a.get<std::uint64_t>() == b.get<std::uint64_t>();
    }
    return false;
}

} // namespace

std::string compact_json(const json& value) {
    std::string out;
    append_json(out, value);
    return out;
}

std::string cell_text(const json& value) {
    if (value.is_string()) return value.get<std::string>();
    return compact_json(value);
}

bool json_equal(const json& a, const json& b) {
    if (a.is_number() && b.is_number()) return numbers_equal(a, b);
    if (a.type() != b.type()) return false;
    switch (a.type()) {
    case json::value_t::null: return true;
    case json::value_t::boolean: return a.get<bool>() == b.get<bool>();
    case json::value_t::string: return a.get_ref<const std::string&>() == b.get_ref<const std::string&>();
    case json::value_t::array: {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (!json_equal(a[i], b[i])) return false;
        return true;
    }
    case json::value_t::object: {
        if (a.size() != b.size()) return false;
        for (auto member = a.begin(); member != a.end(); ++member) {
            const auto other = b.find(member.key());
            if (other == b.end() || !json_equal(*member, *other)) return false;
        }
        return true;
    }
    default: return false;
    }
}

} // namespace qarv
