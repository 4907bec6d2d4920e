// Loading a configuration file: reading it, then parsing and mapping its text.
#include "loading/load_configuration.hpp"

namespace qarv {

LoadError configuration_error(TomlError error) {
    std::string message = render(error);
    return {LoadError::Kind::configuration, std::move(message), std::move(error)};
}

Result<Configuration, LoadError> load_configuration(const std::string& path, const StopCheck& stop) {
    auto text = read_configuration_text(path, stop);
    if (!text) return std::move(text).error();
    auto configuration = parse_configuration(std::move(text).value());
    if (!configuration) return configuration_error(std::move(configuration).error());
    return std::move(configuration).value();
}

} // namespace qarv
