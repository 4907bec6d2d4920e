// Reading the configuration file from disk, up to a fixed size.
#include "files/file_reader.hpp"
#include "loading/load_configuration.hpp"
#include "text/utf8.hpp"

namespace qarv {

Result<std::string, LoadError> read_configuration_text(const std::string& path, const StopCheck& stop) {
    using files::FileError;
    const auto failed = [](FileError error) -> LoadError {
        switch (error.kind) {
        case FileError::Kind::interrupted: return {LoadError::Kind::interrupted, {}};
        case FileError::Kind::too_large:
            return {LoadError::Kind::file_read, "file is larger than " + std::to_string(max_file_size >> 20) +
                                                    " MiB, the most a configuration file may hold"};
        default: return {LoadError::Kind::file_read, std::move(error.message)};
        }
    };
    // A configuration may come through a pipe (`check -`, a process substitution): streams are
    // read too, and the cap stops an endless one.
    auto file = files::File::open(path, files::Accept::streams, stop);
    if (!file) return failed(std::move(file.error()));
    auto text = file.value().read_all(max_file_size, stop);
    if (!text) return failed(std::move(text.error()));
    if (!utf8::is_valid(text.value()))
        return LoadError{LoadError::Kind::file_read, "stream did not contain valid UTF-8"};
    return std::move(text).value();
}

} // namespace qarv
