// The toml-test JSON encoding of a TOML document.
#include "toml_json.hpp"

#include <cctype>
#include <cmath>
#include <vector>

#include <nlohmann/json.hpp>

#include "text/float_text.hpp"

namespace qarv::toml {
namespace {

nlohmann::json scalar(std::string_view type, std::string value) {
    return nlohmann::json{{"type", type}, {"value", std::move(value)}};
}

/// A date-time as the suite writes it: `T` between date and time, `Z` upper case, seconds present.
std::string date_time_text(std::string_view text) {
    std::string out(text);
    if (out.size() > 10 && out[4] == '-') out[10] = 'T';
    for (char& c : out)
        if (c == 'z') c = 'Z';
    const std::size_t time = out.size() > 10 && out[4] == '-' ? 11 : 0;
    if (out.size() >= time + 5 && out[time + 2] == ':' && (out.size() == time + 5 || out[time + 5] != ':'))
        out.insert(time + 5, ":00");
    return out;
}

nlohmann::json encode(const Value& value) {
    // Values nest no deeper than `max_nesting`, so this recursion is bounded.
    switch (value.kind()) {
    case Kind::table: {
        nlohmann::json object = nlohmann::json::object();
        for (const Entry& entry : value.entries()) object[std::string(entry.key)] = encode(entry.value);
        return object;
    }
    case Kind::array: {
        nlohmann::json array = nlohmann::json::array();
        for (const Value& element : value.elements()) array.push_back(encode(element));
        return array;
    }
    case Kind::string:
        return scalar("string", std::string(value.string()));
    case Kind::integer:
        return scalar("integer", value.integer().decimal());
    case Kind::floating: {
        const double number = value.floating();
        if (std::isnan(number)) return scalar("float", "nan");
        return scalar("float", plain_float_text(number));
    }
    case Kind::boolean:
        return scalar("bool", value.boolean() ? "true" : "false");
    case Kind::offset_datetime:
        return scalar("datetime", date_time_text(value.source()));
    case Kind::local_datetime:
        return scalar("datetime-local", date_time_text(value.source()));
    case Kind::local_date:
        return scalar("date-local", std::string(value.source()));
    case Kind::local_time:
        return scalar("time-local", date_time_text(value.source()));
    }
    return nullptr;
}

} // namespace

std::string toml_test_json(const Document& document) { return encode(document.root()).dump(); }

} // namespace qarv::toml
