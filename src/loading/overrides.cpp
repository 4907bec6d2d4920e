// Overrides of single keys, parsed from their own texts and mapped over the file's values.
#include "loading/overrides.hpp"

#include <algorithm>
#include <memory>

#include "loading/ignored_entries.hpp"
#include "text/bounded.hpp"

namespace qarv {
namespace {

TomlError fault(const toml::Document& document, std::string message, ByteSpan span, FaultKind kind,
                std::vector<std::string> keys = {}) {
    return {std::move(message), span, document.text(), std::move(keys), kind, {}, true};
}

/// An error in an override's own text, marked as coming from there.
TomlError in_override(TomlError error) {
    error.in_override = true;
    return error;
}

std::string with_nearest(std::string message, std::string_view name, const std::vector<std::string_view>& known) {
    if (std::string nearest = nearest_name(name, known); !nearest.empty()) message += "; did you mean " + quoted_name(nearest) + "?";
    return message;
}

} // namespace

Result<Overrides, TomlError> Overrides::parse(const std::vector<std::string>& texts) {
    Overrides parsed;
    const std::vector<std::string_view> sections(section_names.begin(), section_names.end());
    for (const std::string& text : texts) {
        auto document = toml::Document::parse(std::make_shared<const std::string>(text));
        if (!document) return in_override(std::move(document).error());
        const toml::Document& held = document.value();
        const ByteSpan whole{0, text.size()};
        const std::vector<toml::Entry> tables = held.root().entries();
        if (tables.size() != 1 || !tables[0].value.is_table() || tables[0].value.size() != 1)
            return fault(held, "expected one key of one table, as in build.dataset = \"images.txt\"", whole,
                         FaultKind::override_shape);
        const toml::Entry& table = tables[0];
        if (std::ranges::find(sections, table.key) == sections.end())
            return fault(held, with_nearest("unknown table " + quoted_name(table.key), table.key, sections),
                         table.key_span, FaultKind::unknown, {std::string(table.key)});
        const toml::Entry entry = table.value.entries()[0];
        const std::vector<std::string_view> keys = known_names(table.key);
        if (std::ranges::find(keys, entry.key) == keys.end())
            return fault(held,
                         with_nearest("unknown key " + quoted_name(entry.key) + " in [" + std::string(table.key) + "]",
                                      entry.key, keys),
                         entry.key_span, FaultKind::unknown, {std::string(table.key), std::string(entry.key)});
        std::string section(table.key), key(entry.key);
        parsed.overrides_.push_back({std::move(section), std::move(key), std::move(document).value()});
    }
    return parsed;
}

bool Overrides::replaces(std::string_view section, std::string_view key) const {
    return std::ranges::any_of(overrides_, [&](const Override& o) { return o.section == section && o.key == key; });
}

Result<Configuration, TomlError> Overrides::map(const toml::Document& document) const {
    Configuration configuration;
    MapOptions file;
    if (!overrides_.empty())
        file.replaced = [this](std::string_view section, std::string_view key) { return replaces(section, key); };
    if (std::optional<TomlError> error = map_onto(document, configuration, file)) return std::move(*error);
    const MapOptions over{{}, true};
    for (const Override& override : overrides_)
        if (std::optional<TomlError> error = map_onto(override.document, configuration, over))
            return in_override(std::move(*error));
    return configuration;
}

Result<MappedDocument, TomlError> map_with_overrides(std::string text, const std::vector<std::string>& overrides) {
    auto document = parse_configuration_document(std::make_shared<const std::string>(std::move(text)));
    if (!document) return std::move(document).error();
    auto parsed = Overrides::parse(overrides);
    if (!parsed) return std::move(parsed).error();
    auto configuration = parsed.value().map(document.value());
    if (!configuration) return std::move(configuration).error();
    return MappedDocument{std::move(document).value(), std::move(configuration).value(), std::move(parsed).value()};
}

} // namespace qarv
