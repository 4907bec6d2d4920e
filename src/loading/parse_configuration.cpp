// Parsing the configuration text with toml++ and mapping the document onto the records.
#include <cmath>
#include <limits>
#include <memory>
#include <type_traits>

#include "loading/toml.hpp"

#include "loading/load_configuration.hpp"
#include "loading/source_text.hpp"
#include "text/float_text.hpp"
#include "text/quoted.hpp"
#include "text/utf8.hpp"

namespace qarv {
namespace {

/// What an error message calls the TOML value it met.
std::string found(const toml::node& node) {
    switch (node.type()) {
    case toml::node_type::boolean:
        return node.as_boolean()->get() ? "boolean `true`" : "boolean `false`";
    case toml::node_type::integer:
        return "integer `" + std::to_string(node.as_integer()->get()) + "`";
    case toml::node_type::floating_point:
        return "floating point `" + plain_float_text(node.as_floating_point()->get()) + "`";
    case toml::node_type::string: {
        std::string text = "string ";
        append_quoted(text, node.as_string()->get());
        return text;
    }
    case toml::node_type::array:
        return "sequence";
    default: // tables, inline tables and date-times
        return "map";
    }
}

/// The name that "expected ..." uses for a field's value type.
template <class T>
struct Expected;
template <> struct Expected<bool> { static constexpr std::string_view text = "a boolean"; };
template <> struct Expected<std::string> { static constexpr std::string_view text = "a string"; };
template <> struct Expected<std::uint8_t> { static constexpr std::string_view text = "u8"; };
template <> struct Expected<std::int32_t> { static constexpr std::string_view text = "i32"; };
template <> struct Expected<std::uint64_t> { static constexpr std::string_view text = "usize"; };
template <> struct Expected<float> { static constexpr std::string_view text = "f32"; };
template <class T> struct Expected<std::vector<T>> { static constexpr std::string_view text = "a sequence"; };
template <class T> struct Expected<std::optional<T>> : Expected<T> {};

/// Nearest single-precision value, with finite doubles beyond its range becoming infinities.
float to_single(double value) {
    // Halfway between FLT_MAX and 2^128 rounds up (FLT_MAX's last mantissa bit is odd).
    constexpr double overflow = 0x1.ffffffp127;
    if (std::isfinite(value) && std::fabs(value) >= overflow)
        return value < 0 ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

using MaybeError = std::optional<TomlError>;

class Mapper {
public:
    explicit Mapper(const SourceText& source) : source_(source) {}

    MaybeError map_root(const toml::table& root, Configuration& out) {
        for (const auto& [key, node] : root) {
            const std::string_view name = key.str();
            MaybeError error;
            // A named reference, since clang before 16 cannot capture a structured binding.
            const toml::node& value = node;
            for_each_section([&](const auto& section) {
                if (section.name != name) return;
                if constexpr (std::is_same_v<typename std::remove_cvref_t<decltype(section)>::record_type, OnnxLoadConfig>)
                    error = map_load(value, out.*section.member);
                else
                    error = map_section(value, make_record(out, section));
            });
            if (error) {
                error->keys.insert(error->keys.begin(), std::string(name));
                return error;
            }
        }
        return std::nullopt;
    }

private:
    /// An error about one value; in the second pass of `[load]` it carries no span of its own.
    TomlError value_error(const toml::node& node, std::string message) const {
        TomlError error{std::move(message), {}, {}, {}};
        if (positioned_) error.span = source_.span(node.source());
        return error;
    }

    template <class T>
    TomlError type_error(const toml::node& node) const {
        return value_error(node, "invalid type: " + found(node) + ", expected " + std::string(Expected<T>::text));
    }

    template <class T>
    MaybeError convert_integer(const toml::node& node, T& out) {
        if (!node.is_integer()) return type_error<T>(node);
        const std::int64_t value = node.as_integer()->get();
        const bool fits = std::is_signed_v<T>
            ? value >= static_cast<std::int64_t>(std::numeric_limits<T>::min()) &&
                  value <= static_cast<std::int64_t>(std::numeric_limits<T>::max())
            : value >= 0 && static_cast<std::uint64_t>(value) <= std::numeric_limits<T>::max();
        if (!fits)
            return value_error(node, "invalid value: integer `" + std::to_string(value) + "`, expected " +
                                         std::string(Expected<T>::text));
        out = static_cast<T>(value);
        return std::nullopt;
    }

    MaybeError convert(const toml::node& node, std::uint8_t& out) { return convert_integer(node, out); }
    MaybeError convert(const toml::node& node, std::int32_t& out) { return convert_integer(node, out); }
    MaybeError convert(const toml::node& node, std::uint64_t& out) { return convert_integer(node, out); }

    MaybeError convert(const toml::node& node, bool& out) {
        if (!node.is_boolean()) return type_error<bool>(node);
        out = node.as_boolean()->get();
        return std::nullopt;
    }

    MaybeError convert(const toml::node& node, std::string& out) {
        if (!node.is_string()) return type_error<std::string>(node);
        out = node.as_string()->get();
        return std::nullopt;
    }

    MaybeError convert(const toml::node& node, float& out) {
        if (node.is_floating_point()) out = to_single(node.as_floating_point()->get());
        else if (node.is_integer()) out = static_cast<float>(node.as_integer()->get());
        else return type_error<float>(node);
        return std::nullopt;
    }

    template <class T>
    MaybeError convert(const toml::node& node, std::vector<T>& out) {
        const toml::array* array = node.as_array();
        if (!array) return type_error<std::vector<T>>(node);
        out.clear();
        out.reserve(array->size());
        for (const toml::node& element : *array)
            if (MaybeError error = convert(element, out.emplace_back())) return error;
        return std::nullopt;
    }

    template <class T>
    MaybeError convert(const toml::node& node, std::optional<T>& out) {
        T value{};
        if (MaybeError error = convert(node, value)) return error;
        out = std::move(value);
        return std::nullopt;
    }

    /// Maps the entries of a table onto a record that starts at its default; `skip` names an
    /// entry that is not the record's (the `[load]` tag).
    template <class Record>
    MaybeError map_fields(const toml::table& table, Record& out, std::string_view skip = {}) {
        for (const auto& [key, entry] : table) {
            const std::string_view name = key.str();
            if (name == skip) continue;
            // A named reference, since clang before 16 cannot capture a structured binding.
            const toml::node& node = entry;
            MaybeError error;
            for_each_field<Record>([&](const auto& field) {
                if (field.name == name) error = convert(node, out.*field.member);
            });
            if (error) {
                error->keys.insert(error->keys.begin(), std::string(name));
                return error;
            }
        }
        return std::nullopt;
    }

    template <class Record>
    MaybeError map_section(const toml::node& node, Record& out) {
        const toml::table* table = node.as_table();
        if (!table)
            return value_error(node, "invalid type: " + found(node) + ", expected struct " +
                                         std::string(Describe<Record>::name));
        return map_fields(*table, out);
    }

    /// `[load]` holds its tag among the variant's keys: find the tag first, then map the rest.
    MaybeError map_load(const toml::node& node, LoadConfig& out) {
        const toml::table* table = node.as_table();
        if (!table)
            return value_error(node, "invalid type: " + found(node) + ", expected internally tagged enum LoadConfig");
        const auto whole_table = [&](TomlError error) {
            if (!error.span) error.span = source_.span(table->source());
            return error;
        };

        const toml::node* tag = table->get(LoadConfig::tag);
        if (!tag) return whole_table({"missing field `" + std::string(LoadConfig::tag) + "`", {}, {}, {}});
        if (!tag->is_string()) {
            TomlError error = value_error(*tag, "invalid type: " + found(*tag) + ", expected variant identifier");
            error.keys.emplace_back(LoadConfig::tag);
            return whole_table(std::move(error));
        }
        if (const std::string& variant = tag->as_string()->get(); variant != LoadConfig::onnx_variant) {
            TomlError error = value_error(*tag, "unknown variant `" + variant + "`, expected `" +
                                                    std::string(LoadConfig::onnx_variant) + "`");
            error.keys.emplace_back(LoadConfig::tag);
            return whole_table(std::move(error));
        }

        // The variant's keys are read from entries set aside while looking for the tag; their
        // errors point at the whole table.
        positioned_ = false;
        MaybeError error = map_fields(*table, out.onnx, LoadConfig::tag);
        positioned_ = true;
        if (error) return whole_table(std::move(*error));
        return std::nullopt;
    }

    const SourceText& source_;
    bool positioned_ = true;
};

} // namespace

Result<Configuration, TomlError> parse_configuration(std::string text) {
    const SourceText source(std::make_shared<const std::string>(std::move(text)));
    auto document = parse_document(source);
    if (!document) return std::move(document).error();

    Configuration configuration;
    if (MaybeError error = Mapper(source).map_root(document.value(), configuration)) {
        error->source = source.text();
        return std::move(*error);
    }
    return configuration;
}

} // namespace qarv
