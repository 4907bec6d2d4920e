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

std::vector<std::string_view> known_names(std::string_view name) {
    std::vector<std::string_view> known;
    for_each_section([&](const auto& section) {
        using Record = typename std::remove_cvref_t<decltype(section)>::record_type;
        if (section.name != name) return;
        known = field_names<Record>();
        if (!section.tag.key.empty()) known.push_back(section.tag.key);
    });
    return known;
}

std::string nearest_name(std::string_view name, const std::vector<std::string_view>& known) {
    for (std::string_view candidate : known)
        if (equal_ignoring_case(name, candidate)) return std::string(candidate);
    // Typos longer than a third of the name are more likely a different key altogether.
    std::size_t best = std::max<std::size_t>(1, name.size() / 3) + 1;
    std::string_view nearest;
    for (std::string_view candidate : known) {
        // The distance is at least the difference in length: a name far longer than every known
        // one is no typo of them, and its table of distances would be as long as the name.
        const std::size_t shorter = std::min(name.size(), candidate.size());
        if (std::max(name.size(), candidate.size()) - shorter >= best) continue;
        if (const std::size_t distance = edit_distance(name, candidate); distance < best) {
            best = distance;
            nearest = candidate;
        }
    }
    return std::string(nearest);
}

std::vector<TomlError> ignored_entries(const toml::Document& document) {
    /// An ignored entry not yet worded: most of a huge file's are only counted. Entries are made
    /// as the document is walked, so what is kept of them is copied.
    struct Found {
        std::size_t at;
        std::string key;
        ByteSpan key_span;
        bool table;
        std::string_view section; ///< empty for a root key
    };
    // The first entries by place in the file, kept as a heap with the last of them on top.
    std::vector<Found> first;
    std::size_t count = 0;
    const auto later = [](const Found& a, const Found& b) { return a.at < b.at; };
    const auto found = [&](const toml::Entry& entry, std::string_view section) {
        ++count;
        if (first.size() == max_named_ignored) {
            if (entry.key_span.start >= first.front().at) return;
            std::ranges::pop_heap(first, later);
            first.pop_back();
        }
        first.push_back({entry.key_span.start, std::string(entry.key), entry.key_span, entry.value.is_table(), section});
        std::ranges::push_heap(first, later);
    };

    // One entry at a time: a file of millions of keys must not be copied into a list of them first.
    for (auto root = document.root().first_entry(); root; root = root->value.next_entry()) {
        const toml::Entry& entry = *root;
        bool known_section = false;
        for_each_section([&](const auto& section) {
            if (section.name != entry.key) return;
            known_section = true;
            if (!entry.value.is_table()) return;
            const std::vector<std::string_view> known = known_names(section.name);
            for (auto field = entry.value.first_entry(); field; field = field->value.next_entry())
                if (std::ranges::find(known, field->key) == known.end()) found(*field, section.name);
        });
        if (!known_section) found(entry, {});
    }

    std::ranges::sort_heap(first, later);
    std::vector<TomlError> warnings;
    const std::vector<std::string_view> sections(section_names.begin(), section_names.end());
    for (Found& item : first) {
        const std::vector<std::string_view> known = item.section.empty() ? sections : known_names(item.section);
        std::string message = item.section.empty()
            ? (item.table ? "unknown table " : "unknown key ") + quoted_name(item.key) + " is ignored"
            : "unknown key " + quoted_name(item.key) + " in [" + std::string(item.section) + "] is ignored";
        if (std::string nearest = nearest_name(item.key, known); !nearest.empty())
            message += "; did you mean " + quoted_name(nearest) + "?";
        std::vector<std::string> keys;
        if (!item.section.empty()) keys.emplace_back(item.section);
        keys.push_back(std::move(item.key));
        warnings.push_back({std::move(message), item.key_span, document.text(), std::move(keys)});
    }
    if (count > first.size())
        warnings.push_back({std::to_string(count) + " keys and tables of the file are ignored; the first " +
                                std::to_string(first.size()) + " are named",
                            std::nullopt, document.text(), {}});
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
