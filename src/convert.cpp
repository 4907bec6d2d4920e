// The conversion driver: the body of `rust_convert`.
#include "functions.hpp"

namespace qarv {

std::optional<ConversionError> run_conversion(const std::string& path) {
    auto configuration = load_configuration(path);
    if (!configuration) return ConversionError::from(std::move(configuration).error());
    return std::nullopt;
}

} // namespace qarv
