// Error values of the byte-level layers. Nothing here touches the interpreter:
// the binding layer turns an Error into a Python exception at the boundary.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace qvtok {

// Which Python exception class an error becomes.
enum class ErrorClass : std::uint8_t {
    Type,
    Value,
    Runtime,
    // A signal handler raised while we waited on the file: the interpreter
    // already holds the exception, and it must be passed on untouched.
    Pending,
};

struct Error {
    ErrorClass cls;
    std::string message;
};

// A value or an error, returned and never thrown.
template <class T, class E = Error>
class Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const T& value() const& { return std::get<0>(state_); }
    E& error() & { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }
    const E& error() const& { return std::get<1>(state_); }

private:
    std::variant<T, E> state_;
};

// For operations that succeed with nothing to say.
struct Done {};

}  // namespace qvtok
