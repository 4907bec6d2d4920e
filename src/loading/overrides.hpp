// Values given for one run over those of the configuration file: `SECTION.KEY=VALUE` texts.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "configuration/records.hpp"
#include "loading/load_configuration.hpp"
#include "loading/parse_configuration.hpp"
#include "loading/toml_document.hpp"
#include "loading/toml_error.hpp"
#include "result.hpp"

namespace qarv {

/// The overrides of one run, each parsed from its own text as a TOML document that sets one key
/// of one table, in the order given; a later one for the same key wins.
class Overrides {
public:
    /// Parses each text; the first that does not parse, or does not name one known key of a known
    /// table, fails with a report on that text.
    static Result<Overrides, TomlError> parse(const std::vector<std::string>& texts);

    /// Maps the file's `document` with the keys that an override replaces passed over, then every
    /// override over it. Errors in the file keep its positions; those in an override point at it.
    [[nodiscard]] Result<Configuration, TomlError> map(const toml::Document& document) const;

    [[nodiscard]] bool replaces(std::string_view section, std::string_view key) const;

private:
    struct Override {
        std::string section;
        std::string key;
        toml::Document document;
    };
    std::vector<Override> overrides_;
};

/// A file's parsed document, the configuration mapped from it with overrides over it, and those
/// overrides, parsed once.
struct MappedDocument {
    toml::Document document;
    Configuration configuration;
    Overrides overrides;
};

/// Parses `text` and maps it with `overrides` applied over it. The file's own faults come first:
/// an override cannot mend a file that does not parse.
Result<MappedDocument, TomlError> map_with_overrides(std::string text, const std::vector<std::string>& overrides);

} // namespace qarv
