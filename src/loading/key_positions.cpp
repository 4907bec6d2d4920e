// The position walk over a configuration document.
#include "loading/key_positions.hpp"

#include "loading/ignored_entries.hpp"
#include "loading/load_configuration.hpp"

namespace qarv {
namespace {

/// Values nest at most `toml::max_nesting` deep, so the recursion is bounded by the reader.
void walk(const toml::Value& value, const std::string& key, std::string_view text, std::vector<KeyPosition>& out) {
    if (!value.kept()) return;
    const bool table = value.is_table();
    // The root has no span of its own; a table with no text of its own has none either.
    if (!key.empty()) out.push_back({key, table, position_of(text, value.span())});
    if (table) {
        for (const toml::Entry& entry : value.entries())
            walk(entry.value, key.empty() ? std::string(entry.key) : key + "." + std::string(entry.key), text, out);
    } else if (value.is_array()) {
        std::size_t index = 0;
        for (const toml::Value& element : value.elements())
            walk(element, key + "[" + std::to_string(index++) + "]", text, out);
    }
}

} // namespace

std::vector<KeyPosition> key_positions(const toml::Document& document) {
    std::vector<KeyPosition> positions;
    walk(document.root(), {}, *document.text(), positions);
    return positions;
}

Result<ConfigurationDetails, TomlError> configuration_details(std::string text) {
    auto document = parse_configuration_document(std::make_shared<const std::string>(std::move(text)));
    if (!document) return std::move(document).error();
    auto configuration = map_configuration(document.value());
    if (!configuration) return std::move(configuration).error();
    return ConfigurationDetails{std::move(configuration).value(), key_positions(document.value()),
                                ignored_entries(document.value()), document.value().text()};
}

} // namespace qarv
