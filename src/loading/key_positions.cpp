// The position walk over a configuration document.
#include "loading/key_positions.hpp"

#include <algorithm>

#include "loading/overrides.hpp"

#include "loading/ignored_entries.hpp"
#include "loading/load_configuration.hpp"

namespace qarv {
namespace {

/// Values nest at most `toml::max_nesting` deep, so the recursion is bounded by the reader;
/// `budget` is what is left of the key's `max_element_positions`. Positions are filled in
/// afterwards, all in one walk over the text: a file of many elements must not count its lines
/// once for each.
void walk(const toml::Value& value, const std::string& key, std::vector<KeyPosition>& out, std::vector<ByteSpan>& spans,
          std::size_t& budget) {
    out.push_back({key, value.is_table(), {}});
    spans.push_back(value.span());
    if (value.is_table()) {
        for (auto entry = value.first_entry(); entry && budget > 0; entry = entry->value.next_entry()) {
            --budget;
            walk(entry->value, key + "." + std::string(entry->key), out, spans, budget);
        }
    } else if (value.is_array()) {
        std::size_t index = 0;
        for (auto element = value.first_element(); element && budget > 0; element = element->next_element()) {
            --budget;
            walk(*element, key + "[" + std::to_string(index++) + "]", out, spans, budget);
        }
    }
}

} // namespace

std::vector<KeyPosition> key_positions(const toml::Document& document) {
    std::vector<KeyPosition> positions;
    std::vector<ByteSpan> spans;
    // Only the tables of the configuration are stored as trees; the file's other root keys are
    // checked but not kept, and have nothing to point into.
    // Tables and keys are walked one entry at a time: a file of millions of them must not be
    // copied into a list of them first.
    for (auto section = document.root().first_entry(); section; section = section->value.next_entry()) {
        if (std::ranges::find(section_names, section->key) == section_names.end() || !section->value.is_table()) continue;
        positions.push_back({std::string(section->key), true, {}});
        spans.push_back(section->value.span());
        const std::vector<std::string_view> known = known_names(section->key);
        for (auto entry = section->value.first_entry(); entry; entry = entry->value.next_entry()) {
            if (std::ranges::find(known, entry->key) == known.end()) continue;
            std::size_t budget = max_element_positions;
            walk(entry->value, std::string(section->key) + "." + std::string(entry->key), positions, spans, budget);
        }
    }
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
