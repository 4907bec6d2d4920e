// A value-or-error result, the way every fallible step of the module reports, and the one type of
// internal failure.
#pragma once

#include <stdexcept>
#include <utility>
#include <variant>

namespace qarv {

/// Holds either a `T` or an `E`. Errors are values: a failing step returns its error and the
/// caller passes it up; nothing here throws.
template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const T& value() const& { return std::get<0>(state_); }
    E& error() & { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

/// A fatal condition inside the module's own code: a broken invariant, or the interpreter unable to
/// make a basic object for a reason other than memory (which throws `std::bad_alloc` instead). It
/// unwinds to the exported function's edge, which raises `PanicException`.
class InternalFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace qarv
