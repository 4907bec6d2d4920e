// Parsing a configuration text and mapping its document onto the configuration records.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "configuration/records.hpp"
#include "loading/toml_document.hpp"
#include "loading/toml_error.hpp"
#include "result.hpp"

namespace qarv {

/// Parses `text` as TOML and maps it onto a `Configuration`; errors carry `text` as their source.
Result<Configuration, TomlError> parse_configuration(std::string text);

/// The document of a configuration text, with trees kept for the sections only: every other
/// root key is checked and passed over.
Result<toml::Document, TomlError> parse_configuration_document(std::shared_ptr<const std::string> text);

/// Maps a document onto a `Configuration`; errors carry the document's text as their source.
Result<Configuration, TomlError> map_configuration(const toml::Document& document);

/// How a document is mapped onto a configuration.
struct MapOptions {
    /// Whether the document's `key` in table `section` is passed over, because an override
    /// replaces it. Empty: nothing is.
    std::function<bool(std::string_view section, std::string_view key)> replaced;
    /// The configuration already holds loaded values: a `[load]` table may leave out its tag.
    bool over_loaded = false;
};

/// Maps `document` onto `configuration`, which keeps every value the document does not set;
/// the error carries the document's text as its source.
std::optional<TomlError> map_onto(const toml::Document& document, Configuration& configuration,
                                  const MapOptions& options);

} // namespace qarv
