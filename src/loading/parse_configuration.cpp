// Mapping a parsed TOML document onto the configuration records.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <type_traits>

#include "loading/parse_configuration.hpp"
#include "loading/toml_document.hpp"
#include "text/bounded.hpp"
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
        const BoundedText cut = bounded(value.string());
        append_quoted(text, cut.shown);
        if (cut.cut) text.insert(text.size() - 1, ellipsis);
        return text + length_note(cut);
    }
    case toml::Kind::array:
        return "sequence";
    default: // tables, inline tables and date-times
        return "map";
    }
}

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
                if (section.tag.key.empty()) error = map_section(*value, make_record(out, section));
                else error = map_tagged(*value, section.tag, make_record(out, section));
            });
            if (error) {
                error->keys.insert(error->keys.begin(), std::string(name));
                return error;
            }
        }
        return std::nullopt;
    }

private:
    /// An error about one value, expected to be `expected`; in the second pass of `[load]` it
    /// carries no span of its own.
    TomlError value_error(const toml::Value& value, FaultKind kind, std::string message, std::string_view expected) const {
        TomlError error{std::move(message) + ", expected " + std::string(expected), {}, {}, {}, kind, std::string(expected)};
        if (positioned_) error.span = value.span();
        return error;
    }

    TomlError type_error(const toml::Value& value, std::string_view expected) const {
        return value_error(value, FaultKind::type, "invalid type: " + found(value), expected);
    }

    template <class T>
    TomlError type_error(const toml::Value& value) const {
        return type_error(value, ValueType<T>::expected);
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
            return value_error(value, FaultKind::value, "invalid value: integer `" + n.decimal() + "`",
                               ValueType<T>::expected);
        out = n.negative ? static_cast<T>(-static_cast<__int128>(n.magnitude)) : static_cast<T>(n.magnitude);
        return std::nullopt;
    }

    /// A scalar, read by its kind. Each question to an array element reads it again from the
    /// text, so its kind is asked once.
    template <class T>
    MaybeError convert(const toml::Value& value, T& out) {
        if constexpr (ValueType<T>::kind == Scalar::integer) {
            return convert_integer(value, out);
        } else {
            const toml::Kind kind = value.kind();
            if constexpr (ValueType<T>::kind == Scalar::boolean) {
                if (kind != toml::Kind::boolean) return type_error<T>(value);
                out = value.boolean();
            } else if constexpr (ValueType<T>::kind == Scalar::string) {
                if (kind != toml::Kind::string) return type_error<T>(value);
                out = value.string();
            } else if (kind == toml::Kind::floating) {
                out = to_single(value.floating());
            } else if (kind == toml::Kind::integer) {
                const toml::Integer n = value.integer();
                if (!n.fits_64_bits()) return type_error<T>(value);
                out = n.fits_int64() ? static_cast<float>(n.as_int64()) : static_cast<float>(static_cast<std::uint64_t>(n.magnitude));
            } else {
                return type_error<T>(value);
            }
            return std::nullopt;
        }
    }

    template <class T>
    MaybeError convert(const toml::Value& value, std::vector<T>& out) {
        if (!value.is_array()) return type_error<std::vector<T>>(value);
        if (const std::size_t length = value.size(); length > max_list_length)
            return value_error(value, FaultKind::value, "invalid length " + std::to_string(length),
                               ValueType<std::vector<T>>::too_long);
        out.clear();
        out.reserve(value.size());
        // One element at a time: a long array of numbers has no node per element to list.
        for (std::optional<toml::Value> element = value.first_element(); element; element = element->next_element())
            if (MaybeError error = convert(*element, out.emplace_back())) return error;
        return std::nullopt;
    }

    template <class T>
    MaybeError convert(const toml::Value& value, std::optional<T>& out) {
        T converted{};
        if (MaybeError error = convert(value, converted)) return error;
        out = std::move(converted);
        return std::nullopt;
    }

    /// Maps the entries of a table onto a record that starts at its default. Only the record's
    /// own keys are looked up, in byte order, which visits them as a walk over the sorted table
    /// would while passing over every other key (of which a table may hold millions) unseen.
    /// Keys an override replaces are passed over too.
    template <class Record>
    MaybeError map_fields(const toml::Value& table, Record& out) {
        static const auto names = [] {
            auto names = std::apply([](const auto&... field) { return std::array<std::string_view, sizeof...(field)>{field.name...}; },
                                    Describe<Record>::fields);
            std::ranges::sort(names);
            return names;
        }();
        for (const std::string_view name : names) {
            if (replaced(name)) continue;
            const std::optional<toml::Value> value = table.find(name);
            if (!value) continue;
            MaybeError error;
            for_each_field<Record>([&](const auto& field) {
                if (field.name == name) error = convert(*value, out.*field.member);
            });
            if (error) {
                error->keys.insert(error->keys.begin(), std::string(name));
                if (!error->span) error->value_span = value->span();
                return error;
            }
        }
        return std::nullopt;
    }

    template <class Record>
    MaybeError map_section(const toml::Value& value, Record& out) {
        if (!value.is_table())
            return type_error(value, "struct " + std::string(Describe<Record>::name));
        return map_fields(value, out);
    }

    /// A tagged table holds its tag among the variant's keys: find the tag first, then map the rest.
    template <class Record>
    MaybeError map_tagged(const toml::Value& table, const Tag& tag, Record& out) {
        if (!table.is_table())
            return type_error(table, "internally tagged enum " + std::string(tag.choice));
        const auto whole_table = [&](TomlError error) {
            if (!error.span) error.span = table.span();
            return error;
        };

        const std::optional<toml::Value> given = replaced(tag.key) ? std::nullopt : table.find(tag.key);
        // Over a loaded configuration, or with the tag given by an override, the variant is settled.
        if (!given && !options_.over_loaded && !replaced(tag.key))
            return whole_table({"missing field `" + std::string(tag.key) + "`", {}, {}, {std::string(tag.key)},
                                FaultKind::missing});
        if (given && given->kind() != toml::Kind::string) {
            TomlError error = type_error(*given, "variant identifier");
            error.keys.emplace_back(tag.key);
            return whole_table(std::move(error));
        }
        if (given && given->string() != tag.variant) {
            TomlError error = value_error(*given, FaultKind::variant, "unknown variant " + quoted_name(given->string()),
                                          "`" + std::string(tag.variant) + "`");
            error.keys.emplace_back(tag.key);
            return whole_table(std::move(error));
        }

        // The variant's keys are read from entries set aside while looking for the tag; their
        // errors point at the whole table (an override's at its own value).
        positioned_ = options_.over_loaded;
        MaybeError error = map_fields(table, out); // the tag is none of its keys
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
