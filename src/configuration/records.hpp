// The configuration records and the one declaration of their keys that every other use draws from.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "configuration/value_types.hpp"

namespace qarv {

/// Limits that the schema documents state and `check` warns about; loading does not enforce them.
struct Limits {
    std::optional<std::int64_t> minimum;
    std::optional<std::int64_t> maximum;
    std::optional<std::uint64_t> min_length;

    static constexpr Limits range(std::int64_t low, std::int64_t high) { return {low, high, std::nullopt}; }
    static constexpr Limits at_least(std::int64_t low) { return {low, std::nullopt, std::nullopt}; }
    static constexpr Limits length_at_least(std::uint64_t length) { return {std::nullopt, std::nullopt, length}; }
};

/// How a key's value reaches the toolkit.
enum class Send {
    when_set,   ///< as its keyword; left out when the field holds none
    always,     ///< as its keyword; `None` when the field holds none
    positional, ///< as the step's one positional argument; `None` when the field holds none
};

/// What the toolkit receives for a key: the value itself, or the NumPy arrays read from the file
/// that the value names.
enum class Pass { value, arrays_from_file };

/// A key whose value every conversion sets for itself: `init` writes `placeholder` (empty: the
/// default) and marks it CHOOSE, saying `what` to choose. Empty `what`: the key is no such key.
struct Choose {
    std::string_view what;
    std::string_view placeholder = {};
};

/// A key's part in its section's toolkit call.
struct Keyword {
    Send send = Send::when_set;
    std::string_view name = {}; ///< empty: the key's own name
    Pass pass = Pass::value;

    static constexpr Keyword always() { return {Send::always}; }
    static constexpr Keyword positional() { return {Send::positional}; }
    static constexpr Keyword arrays_from_file(std::string_view name) { return {Send::when_set, name, Pass::arrays_from_file}; }
};

/// One key of a section record: its name (TOML key, field, JSON property and, unless `keyword`
/// renames it, toolkit keyword), where the record keeps it, its description, its limits, how it
/// reaches the toolkit, the limits `check` adds, and what `init` leaves the user to choose.
template <class Record, class T>
struct Field {
    using value_type = T;
    std::string_view name;
    T Record::*member;
    std::string_view description; ///< empty: the key has no description
    Limits limits{};
    Keyword keyword{};
    /// Limits that only the whole-file schema and `check` state, over `limits` and the type's own:
    /// a value outside them loads and is sent, but is almost surely a mistake.
    Limits advised{};
    Choose choose{};

    [[nodiscard]] constexpr std::string_view keyword_name() const {
        return keyword.name.empty() ? name : keyword.name;
    }
};

// Default member initialisers are the default records: `T{}` is the section at its defaults.

struct ConfigConfig {
    std::optional<std::vector<float>> mean_values;
    std::optional<std::vector<float>> std_values;
    std::string quantized_dtype = "asymmetric_quantized-8";
    std::string quantized_algorithm = "normal";
    std::string quantized_method = "channel";
    std::optional<std::string> target_platform;
    std::optional<bool> quant_img_RGB2BGR = false;
    std::optional<std::string> float_dtype = "float16";
    std::uint8_t optimization_level = 3;
    std::optional<std::string> custom_string;
    std::optional<bool> remove_weight = false;
    std::optional<bool> compress_weight = false;
    std::optional<std::string> inputs_yuv_fmt;
    std::optional<bool> single_core_mode = false;
};

struct OnnxLoadConfig {
    std::string model = "model.onnx";
    std::optional<std::vector<std::string>> inputs;
    std::optional<std::vector<std::vector<std::uint64_t>>> input_size_list;
    std::optional<std::string> input_initial_val_file;
    std::optional<std::vector<std::string>> outputs;
};

/// The `[load]` table: a choice of model source tagged by `model_type`; ONNX is the only one.
struct LoadConfig {
    OnnxLoadConfig onnx;
};

struct BuildConfig {
    std::optional<bool> do_quantization = true;
    std::optional<std::string> dataset;
    std::optional<std::int32_t> qarv_batch_size;
    std::optional<bool> auto_hybrid = false;
};

struct AccuracyAnalysisConfig {
    std::vector<std::string> inputs;
    std::optional<std::string> output_dir;
    std::optional<std::string> target;
    std::optional<std::string> device_id;
};

struct ExportConfig {
    std::optional<std::string> export_path;
};

/// The whole configuration file. Only `accuracy_analysis` can be absent as a whole.
struct Configuration {
    ConfigConfig config;
    LoadConfig load;
    BuildConfig build;
    std::optional<AccuracyAnalysisConfig> accuracy_analysis;
    ExportConfig export_;
};

/// The key that names a tagged table's variant, written among the variant's own keys: the one
/// variant it may name, the name errors give the choice by, and what the whole-file schema says
/// of the key. Empty `key`: the table has no tag.
struct Tag {
    std::string_view key;
    std::string_view variant;
    std::string_view choice;
    std::string_view description;
};

/// One table of the configuration file and its toolkit step: the table's name, the member of
/// `Configuration` that holds it, the toolkit method the step calls, when the step runs, and the
/// tag of a tagged table. `Record` is the section record its keys map onto; `Member` is how
/// `Configuration` keeps it: the record itself, a `std::optional` of it (a section the file may
/// leave out) or a tagged choice whose `variant` member holds the record.
template <class Record, class Member>
struct Section {
    using record_type = Record;
    std::string_view name;
    Member Configuration::*member;
    std::string_view method;
    /// Non-empty: the list key of the table without which the step is skipped without a word; the
    /// step runs only when it holds at least one entry. Empty: the step always runs.
    std::string_view runs_with = {};
    Tag tag{};
    Record Member::*variant = nullptr; ///< for a tagged choice only
};

/// The tables, declared once, in the order of `Configuration`'s fields, which is also the order
/// of the toolkit steps and of the summary's tables.
inline constexpr auto sections = std::make_tuple(
    Section<ConfigConfig, ConfigConfig>{.name = "config", .member = &Configuration::config, .method = "config"},
    Section<OnnxLoadConfig, LoadConfig>{.name = "load",
                                        .member = &Configuration::load,
                                        .method = "load_onnx",
                                        .tag = {"model_type", "Onnx", "LoadConfig",
                                                "The kind of model to load; required whenever the table is present."},
                                        .variant = &LoadConfig::onnx},
    Section<BuildConfig, BuildConfig>{.name = "build", .member = &Configuration::build, .method = "build"},
    // An analysis without inputs has nothing to run on.
    Section<AccuracyAnalysisConfig, std::optional<AccuracyAnalysisConfig>>{
        .name = "accuracy_analysis",
        .member = &Configuration::accuracy_analysis,
        .method = "accuracy_analysis",
        .runs_with = "inputs"},
    Section<ExportConfig, ExportConfig>{.name = "export", .member = &Configuration::export_, .method = "export_qarv"});

inline constexpr std::size_t section_count = std::tuple_size_v<decltype(sections)>;

/// The tables' names, in declaration order.
inline constexpr auto section_names = std::apply(
    [](const auto&... section) { return std::array<std::string_view, sizeof...(section)>{section.name...}; },
    sections);

/// Calls `visit(section)` for each table in declaration order.
template <class Visit>
constexpr void for_each_section(Visit&& visit) {
    std::apply([&](const auto&... section) { (visit(section), ...); }, sections);
}

/// The declaration of the table whose keys map onto `Record` (each record has one table).
template <class Record>
constexpr const auto& section_of() {
    constexpr std::size_t index = [] {
        std::size_t found = section_count, at = 0;
        for_each_section([&](const auto& section) {
            if (std::is_same_v<typename std::remove_cvref_t<decltype(section)>::record_type, Record>) found = at;
            ++at;
        });
        return found;
    }();
    static_assert(index < section_count, "the record belongs to no table");
    return std::get<index>(sections);
}

/// The section's record inside `configuration`; null for an optional section the file leaves out.
template <class Record, class Member>
const Record* find_record(const Configuration& configuration, const Section<Record, Member>& section) {
    const Member& held = configuration.*section.member;
    if constexpr (std::is_same_v<Member, Record>) return &held;
    else if constexpr (std::is_same_v<Member, std::optional<Record>>) return held ? &*held : nullptr;
    else return &(held.*section.variant);
}

/// The section's record inside `configuration`, made present (an optional section it lacks is
/// emplaced at its default; one it holds keeps its values).
template <class Record, class Member>
Record& make_record(Configuration& configuration, const Section<Record, Member>& section) {
    Member& held = configuration.*section.member;
    if constexpr (std::is_same_v<Member, Record>) return held;
    else if constexpr (std::is_same_v<Member, std::optional<Record>>) return held ? *held : held.emplace();
    else return held.*section.variant;
}

/// The declaration of a section record: `name` (the record's name), `fields` in the order of the
/// record's members and, where the toolkit step takes its keywords in another order,
/// `keyword_order`, the names of the keyword fields in that order.
template <class Record>
struct Describe;

template <>
struct Describe<ConfigConfig> {
    using R = ConfigConfig;
    static constexpr std::string_view name = "ConfigConfig";
    static constexpr auto fields = std::make_tuple(
        Field<R, std::optional<std::vector<float>>>{"mean_values", &R::mean_values,
                                                    "Mean values for normalization."},
        Field<R, std::optional<std::vector<float>>>{"std_values", &R::std_values,
                                                    "Standard deviation values for normalization."},
        Field<R, std::string>{"quantized_dtype", &R::quantized_dtype,
                              "Quantized dtype. [asymmetric_quantized-8]"},
        Field<R, std::string>{"quantized_algorithm", &R::quantized_algorithm,
                              "Quantized algorithm. [normal, mmse]"},
        Field<R, std::string>{"quantized_method", &R::quantized_method,
                              "Quantized method. [channel, group, layers]"},
        Field<R, std::optional<std::string>>{
            "target_platform", &R::target_platform,
            "target platform [tx9100, tx9200, tx9300, tx9400, tx9500, ty9600B, ty9700, ...]",
            Limits::length_at_least(1), Keyword::always()},
        Field<R, std::optional<bool>>{"quant_img_RGB2BGR", &R::quant_img_RGB2BGR,
                                      "BGR channel order instead of RGB"},
        Field<R, std::optional<std::string>>{"float_dtype", &R::float_dtype,
                                             "float_dtype [float16, float32, bfloat16]"},
        Field<R, std::uint8_t>{"optimization_level", &R::optimization_level,
                               "Optimization level [0, 1, 2, 3]",
                               Limits::range(0, 3)},
        Field<R, std::optional<std::string>>{"custom_string", &R::custom_string,
                                             "A custom string to add to the model."},
        Field<R, std::optional<bool>>{"remove_weight", &R::remove_weight,
                                      "Remove the weights from the model."},
        Field<R, std::optional<bool>>{"compress_weight", &R::compress_weight,
                                      "Compress the model weights."},
        Field<R, std::optional<std::string>>{"inputs_yuv_fmt", &R::inputs_yuv_fmt,
                                             "Input YUV format."},
        Field<R, std::optional<bool>>{"single_core_mode", &R::single_core_mode,
                                      "Single core mode."});
};

template <>
struct Describe<OnnxLoadConfig> {
    using R = OnnxLoadConfig;
    static constexpr std::string_view name = "OnnxLoadConfig";
    static constexpr auto fields = std::make_tuple(
        Field<R, std::string>{"model", &R::model, "Path to the ONNX model file", {}, Keyword::positional(), {},
                              {"the path of the ONNX model to convert"}},
        Field<R, std::optional<std::vector<std::string>>>{
            "inputs", &R::inputs, "Optional list of input names (e.g. [\"input0\"])"},
        Field<R, std::optional<std::vector<std::vector<std::uint64_t>>>>{
            "input_size_list", &R::input_size_list,
            "Optional shape list matching each input (e.g. [[1, 3, 224, 224]])"},
        Field<R, std::optional<std::string>>{
            "input_initial_val_file", &R::input_initial_val_file,
            "Path to a `.npy` or `.npz` file containing a list of NumPy arrays", {},
            Keyword::arrays_from_file("input_initial_val")},
        Field<R, std::optional<std::vector<std::string>>>{"outputs", &R::outputs,
                                                          "Optional list of output names"});
    /// `load_onnx` takes the names before the shapes, and the arrays last.
    static constexpr std::array<std::string_view, 4> keyword_order = {"inputs", "outputs", "input_size_list",
                                                                      "input_initial_val_file"};
};

template <>
struct Describe<BuildConfig> {
    using R = BuildConfig;
    static constexpr std::string_view name = "BuildConfig";
    static constexpr auto fields = std::make_tuple(
        Field<R, std::optional<bool>>{"do_quantization", &R::do_quantization,
                                      "Whether to quantize the model (default: true)"},
        // Quantization is on by default, and without samples it has nothing to calibrate on.
        Field<R, std::optional<std::string>>{"dataset", &R::dataset,
                                             "Path to dataset file for quantization (default: None)", {}, {}, {},
                                             {"the calibration dataset: a text file listing one sample per line "
                                              "(one .npy, .npz or image file per model input)",
                                              "dataset.txt"}},
        Field<R, std::optional<std::int32_t>>{"qarv_batch_size", &R::qarv_batch_size,
                                              "Batch size for inference (default: None)", {}, {},
                                              Limits::at_least(1)},
        Field<R, std::optional<bool>>{"auto_hybrid", &R::auto_hybrid,
                                      "Enable automatic hybrid quantization (default: false)"});
};

template <>
struct Describe<AccuracyAnalysisConfig> {
    using R = AccuracyAnalysisConfig;
    static constexpr std::string_view name = "AccuracyAnalysisConfig";
    static constexpr auto fields = std::make_tuple(
        Field<R, std::vector<std::string>>{"inputs", &R::inputs,
                                           "Input file paths for accuracy analysis."},
        Field<R, std::optional<std::string>>{
            "output_dir", &R::output_dir,
            "Directory where accuracy snapshots and analysis files are written."},
        Field<R, std::optional<std::string>>{
            "target", &R::target, "Optional target hardware platform for board-side analysis."},
        Field<R, std::optional<std::string>>{"device_id", &R::device_id,
                                             "Optional target device ID."});
};

template <>
struct Describe<ExportConfig> {
    using R = ExportConfig;
    static constexpr std::string_view name = "ExportConfig";
    static constexpr auto fields =
        std::make_tuple(
        Field<R, std::optional<std::string>>{"export_path", &R::export_path, "", {}, Keyword::positional()});
};

/// Calls `visit(field)` for each field of `Record` in declaration order.
template <class Record, class Visit>
constexpr void for_each_field(Visit&& visit) {
    std::apply([&](const auto&... field) { (visit(field), ...); }, Describe<Record>::fields);
}

template <class Record>
inline constexpr std::size_t field_count = std::tuple_size_v<decltype(Describe<Record>::fields)>;

/// The fields that go to the toolkit as keywords, as indices into `fields`, in the order the
/// step takes them: `keyword_order` where the declaration has one, else declaration order.
template <class Record>
constexpr auto keyword_fields() {
    constexpr std::size_t count = [] {
        std::size_t n = 0;
        for_each_field<Record>([&](const auto& field) { n += field.keyword.send != Send::positional; });
        return n;
    }();
    std::array<std::size_t, count> order{};
    if constexpr (requires { Describe<Record>::keyword_order; }) {
        static_assert(Describe<Record>::keyword_order.size() == count,
                      "keyword_order must list every keyword field of the record once");
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t at = 0, found = field_count<Record>;
            for_each_field<Record>([&](const auto& field) {
                if (field.name == Describe<Record>::keyword_order[i] && field.keyword.send != Send::positional)
                    found = at;
                ++at;
            });
            // Not a constant expression when a listed name is no keyword field: compiling fails.
            if (found == field_count<Record>) throw "keyword_order names a key that is not a keyword field";
            for (std::size_t j = 0; j < i; ++j)
                if (order[j] == found) throw "keyword_order names a key twice";
            order[i] = found;
        }
    } else {
        std::size_t i = 0, at = 0;
        for_each_field<Record>([&](const auto& field) {
            if (field.keyword.send != Send::positional) order[i++] = at;
            ++at;
        });
    }
    return order;
}

namespace detail {

/// Whether `value`, a field's value, is a list that holds at least one entry.
template <class T>
constexpr bool holds_entries(const T& value) {
    if constexpr (is_vector_v<T>) return !value.empty();
    else if constexpr (is_optional_v<T>) return value && holds_entries(*value);
    else return false;
}

/// Whether `T` is a list, or an optional list.
template <class T>
inline constexpr bool is_list_v = is_vector_v<T>;
template <class T>
inline constexpr bool is_list_v<std::optional<T>> = is_vector_v<T>;

} // namespace detail

/// Whether the step of `section` runs for `record`: always, or when its `runs_with` list holds an entry.
template <class Record, class Member>
constexpr bool step_runs(const Section<Record, Member>& section, const Record& record) {
    if (section.runs_with.empty()) return true;
    bool runs = false;
    for_each_field<Record>([&](const auto& field) {
        if (field.name == section.runs_with) runs = detail::holds_entries(record.*(field.member));
    });
    return runs;
}

namespace detail {

/// Whether `runs_with`, where a section has one, names a list key of its record.
template <class Record, class Member>
constexpr bool runs_with_names_a_list(const Section<Record, Member>& section) {
    if (section.runs_with.empty()) return true;
    bool found = false;
    for_each_field<Record>([&](const auto& field) {
        if (field.name == section.runs_with) found = is_list_v<typename std::remove_cvref_t<decltype(field)>::value_type>;
    });
    return found;
}

/// Binds the record's members by structured binding, which compiles only when the record has
/// exactly `N` of them; the type says so.
template <std::size_t N, class R>
constexpr auto binds_members(R& r) {
#define QARV_BIND(...)                                                                                   \
    {                                                                                                    \
        [[maybe_unused]] auto& [__VA_ARGS__] = r;                                                        \
        return std::true_type{};                                                                         \
    }
    if constexpr (N == 1) QARV_BIND(a)
    else if constexpr (N == 2) QARV_BIND(a, b)
    else if constexpr (N == 3) QARV_BIND(a, b, c)
    else if constexpr (N == 4) QARV_BIND(a, b, c, d)
    else if constexpr (N == 5) QARV_BIND(a, b, c, d, e)
    else if constexpr (N == 6) QARV_BIND(a, b, c, d, e, f)
    else if constexpr (N == 7) QARV_BIND(a, b, c, d, e, f, g)
    else if constexpr (N == 8) QARV_BIND(a, b, c, d, e, f, g, h)
    else if constexpr (N == 9) QARV_BIND(a, b, c, d, e, f, g, h, i)
    else if constexpr (N == 10) QARV_BIND(a, b, c, d, e, f, g, h, i, j)
    else if constexpr (N == 11) QARV_BIND(a, b, c, d, e, f, g, h, i, j, k)
    else if constexpr (N == 12) QARV_BIND(a, b, c, d, e, f, g, h, i, j, k, l)
    else if constexpr (N == 13) QARV_BIND(a, b, c, d, e, f, g, h, i, j, k, l, m)
    else if constexpr (N == 14) QARV_BIND(a, b, c, d, e, f, g, h, i, j, k, l, m, n)
    else if constexpr (N == 15) QARV_BIND(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o)
    else if constexpr (N == 16) QARV_BIND(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p)
    else return std::false_type{};
#undef QARV_BIND
}

/// Whether no two fields name the same member or the same key.
template <class Record>
constexpr bool fields_distinct() {
    bool distinct = true;
    for_each_field<Record>([&](const auto& a) {
        for_each_field<Record>([&](const auto& b) {
            if (static_cast<const void*>(&a) == static_cast<const void*>(&b)) return;
            if (a.name == b.name) distinct = false;
            if constexpr (std::is_same_v<decltype(a), decltype(b)>)
                if (a.member == b.member) distinct = false;
        });
    });
    return distinct;
}

/// Every member declared once (as many distinct fields as the record has members), every
/// keyword field placed in its step's keyword order, at most one positional argument.
template <class Record>
constexpr bool declared_completely() {
    static_assert(decltype(binds_members<field_count<Record>>(std::declval<Record&>()))::value,
                  "a section record has more members than its Describe declares, or more than 16");
    static_assert(fields_distinct<Record>(), "two fields of a Describe share a key or a member");
    static_assert(keyword_fields<Record>().size() + 1 >= field_count<Record>,
                  "a step takes at most one positional argument");
    return true;
}

} // namespace detail

static_assert(std::apply(
    [](const auto&... section) {
        return (detail::declared_completely<typename std::remove_cvref_t<decltype(section)>::record_type>() && ...);
    },
    sections));
static_assert(std::apply([](const auto&... section) { return (detail::runs_with_names_a_list(section) && ...); }, sections),
              "a section's runs_with names no list key of its record");

} // namespace qarv
