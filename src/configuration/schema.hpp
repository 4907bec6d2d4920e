// JSON Schema (draft 2020-12) documents of the section records, derived from their declaration.
#pragma once

#include <nlohmann/json.hpp>

#include "configuration/records.hpp"

namespace qarv {

/// The schema document of `Record`, built fresh on every call. Instantiated for the five section
/// records: `ConfigConfig`, `OnnxLoadConfig`, `BuildConfig`, `AccuracyAnalysisConfig`,
/// `ExportConfig`.
template <class Record>
nlohmann::json schema_document();

/// One document for a whole configuration file, composed from the section documents: each table
/// under its name, `[load]` with its tag fixed to the one variant, and no key beyond the known
/// ones, so that editors flag the typos that loading would silently pass over.
nlohmann::json configuration_schema_document();

} // namespace qarv
