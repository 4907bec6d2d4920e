// The position walk over a configuration document.
#include "loading/key_positions.hpp"

#include <algorithm>

#include "loading/overrides.hpp"

#include "loading/ignored_entries.hpp"
#include "loading/load_configuration.hpp"

namespace qarv {
namespace {

/// Values nest at most `toml::max_nesting` deep, so the recursion is bounded by the reader.
/// Positions are filled in afterwards, all in one walk over the text: a file of a million array
/// elements must not count its lines a million times.
void walk(const toml::Value& value, const std::string& key, std::vector<KeyPosition>& out, std::vector<ByteSpan>& spans) {
    const bool table = value.is_table();
    // The root has no span of its own; a table with no text of its own has none either.
    if (!key.empty()) {
        out.push_back({key, table, {}});
        spans.push_back(value.span());
    }
    if (table) {
        for (const toml::Entry& entry : value.entries())
            walk(entry.value, key.empty() ? std::string(entry.key) : key + "." + std::string(entry.key), out, spans);
    } else if (value.is_array()) {
        std::size_t index = 0;
        for (const toml::Value& element : value.elements()) {
            if (index == max_element_positions) break;
            walk(element, key + "[" + std::to_string(index++) + "]", out, spans);
        }
    }
}

} // namespace

std::vector<KeyPosition> key_positions(const toml::Document& document) {
    std::vector<KeyPosition> positions;
    std::vector<ByteSpan> spans;
    // Only the tables of the configuration are stored as trees; the file's other root keys are
    // checked but not kept, and have nothing to point into.
    for (const toml::Entry& entry : document.root().entries())
        if (std::ranges::find(section_names, entry.key) != section_names.end())
            walk(entry.value, std::string(entry.key), positions, spans);
    const std::vector<TextPosition> found = positions_of(*document.text(), spans);
    for (std::size_t i = 0; i < positions.size(); ++i) positions[i].position = found[i];
    return positions;
}

Result<ConfigurationDetails, TomlError> configuration_details(std::string text,
                                                              const std::vector<std::string>& overrides) {
    auto mapped = map_with_overrides(std::move(text), overrides);
    if (!mapped) return std::move(mapped).error();
    const Overrides& parsed = mapped.value().overrides;
    const toml::Document& document = mapped.value().document;
    std::vector<KeyPosition> positions = key_positions(document);
    std::erase_if(positions, [&](const KeyPosition& entry) {
        if (entry.table) return false;
        const std::size_t dot = entry.key.find('.');
        if (dot == std::string::npos) return false;
        const std::string_view key = std::string_view(entry.key).substr(dot + 1);
        return parsed.replaces(std::string_view(entry.key).substr(0, dot), key.substr(0, key.find_first_of(".[")));
    });
    return ConfigurationDetails{std::move(mapped.value().configuration), std::move(positions),
                                ignored_entries(document), document.text()};
}

} // namespace qarv
