// The JSON form of field values as JSON values, for the schema documents' defaults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "configuration/value_types.hpp"

namespace qarv {

/// Collects what `write_json_form` writes into one JSON value.
class JsonBuilder {
public:
    void null() { add(nullptr); }
    void boolean(bool value) { add(value); }
    void string(const std::string& value) { add(value); }
    void unsigned_integer(std::uint64_t value) { add(value); }
    void signed_integer(std::int64_t value) { add(value); }
    void number(double value) { add(value); }
    void begin_array() { open_.push_back(&add(nlohmann::json::array())); }
    void end_array() { open_.pop_back(); }

    [[nodiscard]] nlohmann::json take() { return std::move(root_); }

private:
    /// An open array only grows at its end while it is the innermost, so the pointers to the
    /// arrays around it stay valid.
    nlohmann::json& add(nlohmann::json value) {
        if (open_.empty()) return root_ = std::move(value);
        open_.back()->push_back(std::move(value));
        return open_.back()->back();
    }

    nlohmann::json root_;
    std::vector<nlohmann::json*> open_;
};

/// The JSON form of one field value as a JSON value.
template <class T>
nlohmann::json json_value(const T& value) {
    JsonBuilder builder;
    write_json_form(value, builder);
    return builder.take();
}

} // namespace qarv
