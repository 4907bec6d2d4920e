// The JSON form of field values as JSON values, for the schema documents' defaults.
#pragma once

#include <cstddef>
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

/// A `JsonBuilder` that keeps the first `cap` array elements (at every depth, in the order they
/// are written) and counts all of them: arrays past the cap stay out, and arrays already open are
/// cut short.
class CutJsonBuilder {
public:
    explicit CutJsonBuilder(std::size_t cap) : cap_(cap) {}
    void null() { scalar([&] { inner_.null(); }); }
    void boolean(bool value) { scalar([&] { inner_.boolean(value); }); }
    void string(const std::string& value) { scalar([&] { inner_.string(value); }); }
    void unsigned_integer(std::uint64_t value) { scalar([&] { inner_.unsigned_integer(value); }); }
    void signed_integer(std::int64_t value) { scalar([&] { inner_.signed_integer(value); }); }
    void number(double value) { scalar([&] { inner_.number(value); }); }
    void begin_array() {
        if (keeps()) inner_.begin_array();
        else ++skipped_depth_;
        ++depth_;
    }
    void end_array() {
        --depth_;
        if (skipped_depth_ > 0) --skipped_depth_;
        else inner_.end_array();
    }

    [[nodiscard]] nlohmann::json take() { return inner_.take(); }
    /// How many elements the value holds at every depth, kept or not.
    [[nodiscard]] std::size_t elements() const { return elements_; }
    [[nodiscard]] bool cut() const { return elements_ > cap_; }

private:
    /// Counts the value about to be written when it is an element, and says whether it is kept.
    bool keeps() {
        if (depth_ == 0) return true;
        ++elements_;
        return skipped_depth_ == 0 && elements_ <= cap_;
    }
    template <class Write>
    void scalar(Write write) {
        if (keeps()) write();
    }

    JsonBuilder inner_;
    std::size_t cap_;
    std::size_t elements_ = 0;
    std::size_t depth_ = 0;
    std::size_t skipped_depth_ = 0; ///< how deep inside an array left out the writer is
};

} // namespace qarv
