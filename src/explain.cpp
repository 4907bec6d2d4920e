// The configuration summary: the body of `rust_explain`.
#include "functions.hpp"

namespace qarv {

std::optional<ConversionError> explain_configuration(const std::string& path) {
    auto configuration = load_configuration(path);
    if (!configuration) return ConversionError::from(std::move(configuration).error());
    return std::nullopt;
}

} // namespace qarv
