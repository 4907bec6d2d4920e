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

namespace qarv {

/// Field value types are built from scalars with `std::optional` and `std::vector`; the uses of
/// the declaration take them apart with these.
template <class T>
inline constexpr bool is_optional_v = false;
template <class T>
inline constexpr bool is_optional_v<std::optional<T>> = true;

template <class T>
inline constexpr bool is_vector_v = false;
template <class T>
inline constexpr bool is_vector_v<std::vector<T>> = true;

/// Limits that the schema documents state; loading does not enforce them.
struct Limits {
    std::optional<std::int64_t> minimum;
    std::optional<std::int64_t> maximum;
    std::optional<std::uint64_t> min_length;

    static constexpr Limits range(std::int64_t low, std::int64_t high) { return {low, high, std::nullopt}; }
    static constexpr Limits length_at_least(std::uint64_t length) { return {std::nullopt, std::nullopt, length}; }
};

/// How an optional key reaches the toolkit when the field holds none.
enum class Send {
    when_set, ///< left out
    always,   ///< sent as `None`
};

/// One key of a section record: its name (TOML key, field, JSON property and, but for the
/// initial-value file, toolkit keyword), where the record keeps it, its description and its limits.
template <class Record, class T>
struct Field {
    std::string_view name;
    T Record::*member;
    std::string_view description; ///< empty: the key has no description
    Limits limits{};
    Send send = Send::when_set;
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
    /// The tag key, written among the variant's own keys, and the one variant it names.
    static constexpr std::string_view tag = "model_type";
    static constexpr std::string_view onnx_variant = "Onnx";

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

/// One table of the configuration file: its name and the member of `Configuration` that holds it.
/// `Record` is the section record its keys map onto; `Member` is how `Configuration` keeps it
/// (`LoadConfig` wraps its record in the tagged choice, an optional section is a `std::optional`).
template <class Record, class Member>
struct Section {
    using record_type = Record;
    std::string_view name;
    Member Configuration::*member;
};

/// The tables, declared once, in the order of `Configuration`'s fields, which is also the order
/// the summary prints them in.
inline constexpr auto sections = std::make_tuple(
    Section<ConfigConfig, ConfigConfig>{"config", &Configuration::config},
    Section<OnnxLoadConfig, LoadConfig>{"load", &Configuration::load},
    Section<BuildConfig, BuildConfig>{"build", &Configuration::build},
    Section<AccuracyAnalysisConfig, std::optional<AccuracyAnalysisConfig>>{"accuracy_analysis",
                                                                           &Configuration::accuracy_analysis},
    Section<ExportConfig, ExportConfig>{"export", &Configuration::export_});

/// The tables' names, in declaration order.
inline constexpr auto section_names = std::apply(
    [](const auto&... section) { return std::array<std::string_view, sizeof...(section)>{section.name...}; },
    sections);

/// Calls `visit(section)` for each table in declaration order.
template <class Visit>
constexpr void for_each_section(Visit&& visit) {
    std::apply([&](const auto&... section) { (visit(section), ...); }, sections);
}

/// The section's record inside `configuration`; null for an optional section the file leaves out.
template <class Record, class Member>
const Record* find_record(const Configuration& configuration, const Section<Record, Member>& section) {
    const Member& held = configuration.*section.member;
    if constexpr (std::is_same_v<Member, LoadConfig>) return &held.onnx;
    else if constexpr (is_optional_v<Member>) return held ? &*held : nullptr;
    else return &held;
}

/// The section's record inside `configuration`, made present (an optional section it lacks is
/// emplaced at its default; one it holds keeps its values).
template <class Record, class Member>
Record& make_record(Configuration& configuration, const Section<Record, Member>& section) {
    Member& held = configuration.*section.member;
    if constexpr (std::is_same_v<Member, LoadConfig>) return held.onnx;
    else if constexpr (is_optional_v<Member>) return held ? *held : held.emplace();
    else return held;
}

/// The declaration of a section record: `name` (the record's name) and `fields` in declaration
/// order, which is also the order of its toolkit step's keywords.
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
            Limits::length_at_least(1), Send::always},
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
        Field<R, std::string>{"model", &R::model, "Path to the ONNX model file"},
        Field<R, std::optional<std::vector<std::string>>>{
            "inputs", &R::inputs, "Optional list of input names (e.g. [\"input0\"])"},
        Field<R, std::optional<std::vector<std::vector<std::uint64_t>>>>{
            "input_size_list", &R::input_size_list,
            "Optional shape list matching each input (e.g. [[1, 3, 224, 224]])"},
        Field<R, std::optional<std::string>>{
            "input_initial_val_file", &R::input_initial_val_file,
            "Path to a `.npy` or `.npz` file containing a list of NumPy arrays"},
        Field<R, std::optional<std::vector<std::string>>>{"outputs", &R::outputs,
                                                          "Optional list of output names"});
};

template <>
struct Describe<BuildConfig> {
    using R = BuildConfig;
    static constexpr std::string_view name = "BuildConfig";
    static constexpr auto fields = std::make_tuple(
        Field<R, std::optional<bool>>{"do_quantization", &R::do_quantization,
                                      "Whether to quantize the model (default: true)"},
        Field<R, std::optional<std::string>>{"dataset", &R::dataset,
                                             "Path to dataset file for quantization (default: None)"},
        Field<R, std::optional<std::int32_t>>{"qarv_batch_size", &R::qarv_batch_size,
                                              "Batch size for inference (default: None)"},
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
        std::make_tuple(Field<R, std::optional<std::string>>{"export_path", &R::export_path, ""});
};

/// Calls `visit(field)` for each field of `Record` in declaration order.
template <class Record, class Visit>
constexpr void for_each_field(Visit&& visit) {
    std::apply([&](const auto&... field) { (visit(field), ...); }, Describe<Record>::fields);
}

} // namespace qarv
