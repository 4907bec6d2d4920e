// Finding the keys and tables that the configuration ignores, with likely intended names.
#include "loading/ignored_entries.hpp"

#include <algorithm>
#include <cctype>

#include "configuration/records.hpp"
#include "loading/source_text.hpp"

namespace qarv {
namespace {

template <class Record>
std::vector<std::string_view> field_names() {
    std::vector<std::string_view> names;
    for_each_field<Record>([&](const auto& field) { names.push_back(field.name); });
    return names;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

/// Edit distance counting insertions, deletions, substitutions and swaps of neighbours.
std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

} // namespace

std::string nearest_name(std::string_view name, const std::vector<std::string_view>& known) {
    for (std::string_view candidate : known)
        if (equal_ignoring_case(name, candidate)) return std::string(candidate);
    // Typos longer than a third of the name are more likely a different key altogether.
    std::size_t best = std::max<std::size_t>(1, name.size() / 3) + 1;
    std::string_view nearest;
    for (std::string_view candidate : known)
        if (const std::size_t distance = edit_distance(name, candidate); distance < best) {
            best = distance;
            nearest = candidate;
        }
    return std::string(nearest);
}

Result<std::vector<TomlError>, TomlError> find_ignored_entries(std::string text) {
    const SourceText source(std::make_shared<const std::string>(std::move(text)));
    auto document = parse_document(source);
    if (!document) return std::move(document).error();

    struct Found {
        toml::source_position at;
        TomlError warning;
    };
    std::vector<Found> found;
    const auto warn = [&](const toml::key& key, std::string message, const std::vector<std::string_view>& known,
                          std::vector<std::string> keys) {
        if (std::string nearest = nearest_name(key.str(), known); !nearest.empty())
            message += "; did you mean `" + nearest + "`?";
        found.push_back({key.source().begin, {std::move(message), source.span(key.source()), source.text(), std::move(keys)}});
    };

    std::vector<std::string_view> sections;
    for_each_section([&](const auto& section) { sections.push_back(section.name); });
    const auto check_section = [&](std::string_view section, const toml::node& node, std::vector<std::string_view> known) {
        const toml::table* table = node.as_table();
        if (!table) return;
        for (const auto& [key, value] : *table)
            if (std::ranges::find(known, key.str()) == known.end())
                warn(key, "unknown key `" + std::string(key.str()) + "` in [" + std::string(section) + "] is ignored",
                     known, {std::string(section), std::string(key.str())});
    };

    for (const auto& [key, node] : document.value()) {
        const std::string_view name = key.str();
        bool known_section = false;
        // A named reference, since clang before 16 cannot capture a structured binding.
        const toml::node& value = node;
        for_each_section([&](const auto& section) {
            using Record = typename std::remove_cvref_t<decltype(section)>::record_type;
            if (section.name != name) return;
            known_section = true;
            std::vector<std::string_view> known = field_names<Record>();
            if constexpr (std::is_same_v<Record, OnnxLoadConfig>) known.push_back(LoadConfig::tag);
            check_section(name, value, std::move(known));
        });
        if (!known_section) {
            const char* what = node.is_table() ? "unknown table `" : "unknown key `";
            warn(key, what + std::string(name) + "` is ignored", sections, {std::string(name)});
        }
    }
    std::ranges::stable_sort(found, [](const Found& a, const Found& b) {
        return a.at.line != b.at.line ? a.at.line < b.at.line : a.at.column < b.at.column;
    });
    std::vector<TomlError> warnings;
    for (Found& entry : found) warnings.push_back(std::move(entry.warning));
    return warnings;
}

} // namespace qarv
