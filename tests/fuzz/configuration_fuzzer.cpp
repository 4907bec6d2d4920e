// libFuzzer target: configuration bytes through parsing, error reports, the summary text and the ignored-key check.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "loading/ignored_entries.hpp"
#include "loading/load_configuration.hpp"
#include "section/section_report.hpp"
#include "text/utf8.hpp"

namespace {

// The summary goes to a string, not to standard output, so that the fuzzer runs quietly and
// the whole text is built (and so checked by the sanitizers) on every input.
std::string summary(const qarv::Configuration& configuration) {
    std::string out;
    qarv::summary_pieces(configuration, [&](std::string_view piece) { out += piece; return true; });
    // The cap on summaries rests on this size being found exactly before anything is drawn.
    if (qarv::summary_size(configuration) != out.size()) __builtin_trap();
    return out;
}

// Reports must be valid UTF-8 whatever the input: they become Python str objects.
void check_text(const std::string& text) {
    if (!qarv::utf8::is_valid(text)) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // Loading refuses text that is not UTF-8 before parsing it.
    if (!qarv::utf8::is_valid(text)) return -1;

    auto parsed = qarv::parse_configuration(text);
    check_text(parsed ? summary(parsed.value()) : qarv::render(parsed.error()));

    // The check command loads through its own entry; it must accept and refuse alike.
    auto checked = qarv::check_configuration(text);
    if (checked.ok() != parsed.ok()) __builtin_trap();
    if (!checked) {
        if (qarv::render(checked.error()) != qarv::render(parsed.error())) __builtin_trap();
    } else {
        for (const qarv::TomlError& warning : checked.value().warnings) check_text(qarv::render(warning, "warning"));
    }
    return 0;
}
