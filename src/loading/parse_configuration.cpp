// Mapping a parsed TOML document onto the configuration records.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <type_traits>

#include "loading/load_configuration.hpp"
#include "loading/overrides.hpp"
#include "loading/toml_document.hpp"
#include "text/float_text.hpp"
#include "text/quoted.hpp"
#include "text/utf8.hpp"

namespace qarv {
namespace {

/// What an error message calls the TOML value it met. Integers beyond both 64-bit ranges are
/// named with the 128-bit type they were read as.
std::string found(const toml::Value& value) {
    switch (value.kind()) {
    case toml::Kind::boolean:
        return value.boolean() ? "boolean `true`" : "boolean `false`";
    case toml::Kind::integer: {
        const toml::Integer n = value.integer();
        std::string text = "integer `" + n.decimal() + "`";
        if (!n.fits_64_bits())
            text += !n.negative && n.magnitude > (~static_cast<unsigned __int128>(0) >> 1) ? " as u128" : " as i128";
        return text;
    }
    case toml::Kind::floating:
        return "floating point `" + plain_float_text(value.floating()) + "`";
    case toml::Kind::string: {
        std::string text = "string ";
        append_quoted(text, value.string());
        return text;
    }
    case toml::Kind::array:
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
    explicit Mapper(const MapOptions& options) : options_(options) {}

    MaybeError map_root(const toml::Value& root, Configuration& out) {
        // Only the sections are looked at, in the byte order of their names; other root keys,
        // however many, are passed over without a look.
        std::array names = section_names;
        std::ranges::sort(names);
        for (const std::string_view name : names) {
            const std::optional<toml::Value> value = root.find(name);
            if (!value) continue;
            section_ = name;
            MaybeError error;
            for_each_section([&](const auto& section) {
                if (section.name != name) return;
                if constexpr (std::is_same_v<typename std::remove_cvref_t<decltype(section)>::record_type, OnnxLoadConfig>)
                    error = map_load(*value, out.*section.member);
                else
                    error = map_section(*value, make_record(out, section));
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
    TomlError value_error(const toml::Value& value, std::string message) const {
        TomlError error{std::move(message), {}, {}, {}};
        if (positioned_) error.span = value.span();
        return error;
    }

    template <class T>
    TomlError type_error(const toml::Value& value) const {
        return value_error(value, "invalid type: " + found(value) + ", expected " + std::string(Expected<T>::text));
    }

    /// Integer types refuse every integer outside their range alike, 128-bit literals included.
    template <class T>
    MaybeError convert_integer(const toml::Value& value, T& out) {
        if (value.kind() != toml::Kind::integer) return type_error<T>(value);
        const toml::Integer n = value.integer();
        const unsigned __int128 limit = n.negative
            ? (std::is_signed_v<T> ? static_cast<unsigned __int128>(-static_cast<__int128>(std::numeric_limits<T>::min())) : 0)
            : static_cast<unsigned __int128>(std::numeric_limits<T>::max());
        if (n.magnitude > limit)
            return value_error(value, "invalid value: integer `" + n.decimal() + "`, expected " +
                                          std::string(Expected<T>::text));
        out = n.negative ? static_cast<T>(-static_cast<__int128>(n.magnitude)) : static_cast<T>(n.magnitude);
        return std::nullopt;
    }

    MaybeError convert(const toml::Value& value, std::uint8_t& out) { return convert_integer(value, out); }
    MaybeError convert(const toml::Value& value, std::int32_t& out) { return convert_integer(value, out); }
    MaybeError convert(const toml::Value& value, std::uint64_t& out) { return convert_integer(value, out); }

    MaybeError convert(const toml::Value& value, bool& out) {
        if (value.kind() != toml::Kind::boolean) return type_error<bool>(value);
        out = value.boolean();
        return std::nullopt;
    }

    MaybeError convert(const toml::Value& value, std::string& out) {
        if (value.kind() != toml::Kind::string) return type_error<std::string>(value);
        out = value.string();
        return std::nullopt;
    }

    MaybeError convert(const toml::Value& value, float& out) {
        if (value.kind() == toml::Kind::floating) {
            out = to_single(value.floating());
        } else if (value.kind() == toml::Kind::integer && value.integer().fits_64_bits()) {
            const toml::Integer n = value.integer();
            out = n.fits_int64() ? static_cast<float>(n.as_int64()) : static_cast<float>(static_cast<std::uint64_t>(n.magnitude));
        } else {
            return type_error<float>(value);
        }
        return std::nullopt;
    }

    template <class T>
    MaybeError convert(const toml::Value& value, std::vector<T>& out) {
        if (!value.is_array()) return type_error<std::vector<T>>(value);
        out.clear();
        out.reserve(value.size());
        for (const toml::Value& element : value.elements())
            if (MaybeError error = convert(element, out.emplace_back())) return error;
        return std::nullopt;
    }

    template <class T>
    MaybeError convert(const toml::Value& value, std::optional<T>& out) {
        T converted{};
        if (MaybeError error = convert(value, converted)) return error;
        out = std::move(converted);
        return std::nullopt;
    }

    /// Maps the entries of a table onto a record that starts at its default; `skip` names an
    /// entry that is not the record's (the `[load]` tag).
    template <class Record>
    MaybeError map_fields(const toml::Value& table, Record& out, std::string_view skip = {}) {
        for (const toml::Entry& entry : table.sorted_entries()) {
            if (entry.key == skip || replaced(entry.key)) continue;
            MaybeError error;
            for_each_field<Record>([&](const auto& field) {
                if (field.name == entry.key) error = convert(entry.value, out.*field.member);
            });
            if (error) {
                error->keys.insert(error->keys.begin(), std::string(entry.key));
                return error;
            }
        }
        return std::nullopt;
    }

    template <class Record>
    MaybeError map_section(const toml::Value& value, Record& out) {
        if (!value.is_table())
            return value_error(value, "invalid type: " + found(value) + ", expected struct " +
                                          std::string(Describe<Record>::name));
        return map_fields(value, out);
    }

    /// `[load]` holds its tag among the variant's keys: find the tag first, then map the rest.
    MaybeError map_load(const toml::Value& table, LoadConfig& out) {
        if (!table.is_table())
            return value_error(table, "invalid type: " + found(table) + ", expected internally tagged enum LoadConfig");
        const auto whole_table = [&](TomlError error) {
            if (!error.span) error.span = table.span();
            return error;
        };

        const std::optional<toml::Value> tag =
            replaced(LoadConfig::tag) ? std::nullopt : table.find(LoadConfig::tag);
        // Over a loaded configuration, or with the tag given by an override, the variant is settled.
        if (!tag && !options_.over_loaded && !replaced(LoadConfig::tag))
            return whole_table({"missing field `" + std::string(LoadConfig::tag) + "`", {}, {}, {}});
        if (tag && tag->kind() != toml::Kind::string) {
            TomlError error = value_error(*tag, "invalid type: " + found(*tag) + ", expected variant identifier");
            error.keys.emplace_back(LoadConfig::tag);
            return whole_table(std::move(error));
        }
        if (tag && tag->string() != LoadConfig::onnx_variant) {
            TomlError error = value_error(*tag, "unknown variant `" + std::string(tag->string()) + "`, expected `" +
                                                    std::string(LoadConfig::onnx_variant) + "`");
            error.keys.emplace_back(LoadConfig::tag);
            return whole_table(std::move(error));
        }

        // The variant's keys are read from entries set aside while looking for the tag; their
        // errors point at the whole table (an override's at its own value).
        positioned_ = options_.over_loaded;
        MaybeError error = map_fields(table, out.onnx, LoadConfig::tag);
        positioned_ = true;
        if (error) return whole_table(std::move(*error));
        return std::nullopt;
    }

    /// Whether the file's `key` in the current section gives way to an override.
    bool replaced(std::string_view key) const { return options_.replaced && options_.replaced(section_, key); }

    const MapOptions& options_;
    std::string_view section_;
    bool positioned_ = true;
};

} // namespace

Result<toml::Document, TomlError> parse_configuration_document(std::shared_ptr<const std::string> text) {
    // Only the sections need a tree; everything else is checked and passed over.
    return toml::Document::parse(std::move(text), [](std::string_view key) {
        return std::ranges::find(section_names, key) != section_names.end();
    });
}

MaybeError map_onto(const toml::Document& document, Configuration& configuration, const MapOptions& options) {
    MaybeError error = Mapper(options).map_root(document.root(), configuration);
    if (error) error->source = document.text();
    return error;
}

Result<Configuration, TomlError> map_configuration(const toml::Document& document) {
    Configuration configuration;
    if (MaybeError error = map_onto(document, configuration, {})) return std::move(*error);
    return configuration;
}

Result<Configuration, TomlError> parse_configuration(std::string text) {
    auto document = parse_configuration_document(std::make_shared<const std::string>(std::move(text)));
    if (!document) return std::move(document).error();
    return map_configuration(document.value());
}

} // namespace qarv
