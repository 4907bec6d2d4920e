// Finding the keys and tables that the configuration ignores, with likely intended names.
#include "loading/ignored_entries.hpp"

#include <algorithm>
#include <cctype>

#include "configuration/records.hpp"
#include "loading/load_configuration.hpp"
#include "loading/overrides.hpp"
#include "text/bounded.hpp"

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
    for (std::string_view candidate : known) {
        // The lengths alone bound the distance from below: a huge name costs no table.
        const std::size_t apart = name.size() > candidate.size() ? name.size() - candidate.size() : candidate.size() - name.size();
        if (apart >= best) continue;
        if (const std::size_t distance = edit_distance(name, candidate); distance < best) {
            best = distance;
            nearest = candidate;
        }
    }
    return std::string(nearest);
}

std::vector<TomlError> ignored_entries(const toml::Document& document) {
    struct Found {
        std::size_t at;
        TomlError warning;
    };
    std::vector<Found> found;
    const auto warn = [&](const toml::Entry& entry, std::string message, const std::vector<std::string_view>& known,
                          std::vector<std::string> keys) {
        if (std::string nearest = nearest_name(entry.key, known); !nearest.empty())
            message += "; did you mean " + quoted_name(nearest) + "?";
        found.push_back({entry.key_span.start, {std::move(message), entry.key_span, document.text(), std::move(keys)}});
    };

    const std::vector<std::string_view> sections(section_names.begin(), section_names.end());
    const auto check_section = [&](std::string_view section, const toml::Value& value, std::vector<std::string_view> known) {
        if (!value.is_table()) return;
        for (const toml::Entry& entry : value.entries())
            if (std::ranges::find(known, entry.key) == known.end())
                warn(entry, "unknown key " + quoted_name(entry.key) + " in [" + std::string(section) + "] is ignored",
                     known, {std::string(section), std::string(entry.key)});
    };

    for (const toml::Entry& entry : document.root().entries()) {
        bool known_section = false;
        for_each_section([&](const auto& section) {
            using Record = typename std::remove_cvref_t<decltype(section)>::record_type;
            if (section.name != entry.key) return;
            known_section = true;
            std::vector<std::string_view> known = field_names<Record>();
            if (!section.tag.key.empty()) known.push_back(section.tag.key);
            check_section(entry.key, entry.value, std::move(known));
        });
        if (!known_section) {
            const char* what = entry.value.is_table() ? "unknown table " : "unknown key ";
            warn(entry, what + quoted_name(entry.key) + " is ignored", sections, {std::string(entry.key)});
        }
    }
    std::ranges::stable_sort(found, [](const Found& a, const Found& b) { return a.at < b.at; });
    std::vector<TomlError> warnings;
    for (Found& entry : found) warnings.push_back(std::move(entry.warning));
    return warnings;
}

Result<CheckedConfiguration, TomlError> check_configuration(std::string text) {
    return check_configuration(std::move(text), {});
}

Result<CheckedConfiguration, TomlError> check_configuration(std::string text, const std::vector<std::string>& overrides) {
    auto mapped = map_with_overrides(std::move(text), overrides);
    if (!mapped) return std::move(mapped).error();
    return CheckedConfiguration{std::move(mapped.value().configuration), ignored_entries(mapped.value().document)};
}

} // namespace qarv
