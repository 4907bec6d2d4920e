// The keyword arguments that each toolkit step receives, built from its section record.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

#include "configuration/records.hpp"
#include "python/run_error.hpp"

namespace qarv {

/// The keyword arguments of one toolkit call in the form a vectorcall takes them: the values in
/// insertion order, and their names as a tuple. The method receives exactly what a dictionary of
/// the same items would give it, without the dictionary being built and taken apart again.
class KeywordArguments {
public:
    /// More than any section record has keys.
    static constexpr std::size_t capacity = 16;

    KeywordArguments() = default;
    KeywordArguments(KeywordArguments&& other) noexcept
        : names_(other.names_), values_(other.values_), size_(std::exchange(other.size_, 0)) {}
    KeywordArguments& operator=(KeywordArguments&&) = delete;
    ~KeywordArguments() {
        for (std::size_t i = 0; i < size_; ++i) Py_DECREF(values_[i]);
    }

    /// Takes over `value`. `name` must be interned and live for the process (see `interned`).
    void add(PyObject* name, PyRef value) noexcept {
        names_[size_] = name;
        values_[size_++] = value.release();
    }

    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    /// The values, borrowed, in order.
    [[nodiscard]] PyObject* const* values() const noexcept { return values_.data(); }
    /// A new tuple of the names, or null when there are none (the vectorcall form of "no keywords").
    [[nodiscard]] PyRef names() const;

private:
    std::array<PyObject*, capacity> names_{};
    std::array<PyObject*, capacity> values_{}; ///< owned, the first `size_`
    std::size_t size_ = 0;
};

/// The section's keywords, in declaration order. Needs the interpreter lock. Absent optionals are
/// left out, except those the toolkit must always see (as `None`).
PyResult<KeywordArguments> to_keyword_arguments(const ConfigConfig& section);
PyResult<KeywordArguments> to_keyword_arguments(const BuildConfig& section);
PyResult<KeywordArguments> to_keyword_arguments(const AccuracyAnalysisConfig& section);

/// The keywords of `load_onnx`: the names before the shapes, and last the arrays read with NumPy
/// from the initial-value file when the section names one. The model goes positionally.
PyResult<KeywordArguments> to_keyword_arguments(const OnnxLoadConfig& section);

} // namespace qarv
