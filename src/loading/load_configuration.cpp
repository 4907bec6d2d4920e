// Loading a configuration file: reading it, then parsing and mapping its text.
#include "loading/load_configuration.hpp"

#include "loading/overrides.hpp"

namespace qarv {

LoadError configuration_error(TomlError error) {
    std::string message = render(error);
    return {LoadError::Kind::configuration, std::move(message), std::move(error)};
}

Result<Configuration, LoadError> load_configuration(const std::string& path,
                                                    const std::vector<std::string>& overrides, const StopCheck& stop) {
    auto text = read_configuration_text(path, stop);
    if (!text) return std::move(text).error();
    auto mapped = map_with_overrides(std::move(text).value(), overrides);
    if (!mapped) return configuration_error(std::move(mapped).error());
    return std::move(mapped.value().configuration);
}

} // namespace qarv
