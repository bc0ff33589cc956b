// The boundary between Python calls and the operations: argument binding and
// conversion, the error value every operation returns, and the call guard
// that is the only place where C++ exceptions are caught.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include "python/compat.hpp"
#include "core/error.hpp"
#include "python/py_ref.hpp"

namespace qvtok {

// The error value of every operation. Deferred: a class and a message, the
// exception object made only when raised. Captured: an exception object
// taken from the interpreter, raised again unchanged.
class CallError {
public:
    // `cls` is a borrowed reference to a process-lifetime exception class.
    static CallError deferred(PyObject* cls, std::string message) {
        return CallError(cls, std::move(message), PyRef());
    }
    static CallError captured(PyRef exc) { return CallError(nullptr, {}, std::move(exc)); }
    // Takes the pending exception, or SystemError when none is pending.
    static CallError fetch();
    // From a core error, through the table of codes, texts and classes; an
    // Interrupted one takes the interpreter's pending exception.
    static CallError from(Error error);

    // The same error with `tail` after its message; an exception taken from
    // the interpreter keeps its own.
    CallError with_tail(std::string_view tail) && {
        if (!exc_) message_ += tail;
        return std::move(*this);
    }

    // Sets this error as the interpreter's pending exception.
    void raise() &&;
    // The exception object (new reference), or NULL with something pending.
    PyRef into_exception() &&;

private:
    CallError(PyObject* cls, std::string message, PyRef exc)
        : cls_(cls), message_(std::move(message)), exc_(std::move(exc)) {}

    PyObject* cls_;
    std::string message_;
    PyRef exc_;
    const char* code_ = nullptr;  // the core error's name, for the exception's _qvtok_code
};

using PyResult = Expected<PyRef, CallError>;

// An internal fault: a broken invariant, never bad input. Thrown, caught
// only by the call guard, and raised there as PanicException.
struct Panic : std::exception {
    std::string message;
    std::source_location where;
    Panic(std::string m, std::source_location w) : message(std::move(m)), where(w) {}
    const char* what() const noexcept override { return message.c_str(); }
};

[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// The exception class of internal faults; borrowed, created on first use.
PyObject* panic_exception_type();

// The most parameters a function of the extension takes.
inline constexpr std::size_t kMaxParams = 13;

// One static record per function.
struct FunctionDescriptor {
    const char* name;
    std::array<std::string_view, kMaxParams> params;
    std::size_t count;     // parameters in use
    std::size_t required;  // leading required parameters
    // The leading parameters that may be passed by position; those after
    // them only by keyword (the ones after "*" in a signature).
    std::size_t positional = kMaxParams;
};

// One borrowed reference per parameter, NULL where nothing was passed.
using BoundArgs = std::array<PyObject*, kMaxParams>;

Expected<BoundArgs, CallError> bind(const FunctionDescriptor& fn, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames);

// The UTF-8 form of a str argument, valid while the argument lives.
Expected<std::string_view, CallError> arg_text(PyObject* obj);
// An unsigned 64-bit integer from an int or anything with __index__.
Expected<std::uint64_t, CallError> arg_size(PyObject* obj);
// The same error, captured, with the note "while processing '{param}'".
// `error` with `note` (a str, stolen; may be NULL) added to its notes.
CallError with_note(CallError error, PyRef note);
CallError argument_error(const char* param, CallError error);

// A path as the file system takes it, encoded as os.fsencode does: a name
// that is not UTF-8 comes back to its own bytes from the surrogate escapes
// os.listdir gave it.
struct PathBytes {
    PyRef encoded;           // a bytes object
    std::string_view bytes;  // its contents, valid while `encoded` lives
};

// The argument conversions of the four functions: `path`, an optional
// `format`, and `sample` where the function takes one.
Expected<PathBytes, CallError> path_arg(PyObject* obj);
Expected<std::optional<std::string_view>, CallError> format_arg(PyObject* obj);

// "'{type}' object is not an instance of '{target}'" as a TypeError.
CallError type_mismatch(PyObject* obj, const char* target);

namespace detail {
// Turns whatever escaped the body into a Python exception.
void raise_escaped(std::exception_ptr escaped) noexcept;
}

// The C++ runtime makes a thread's exception state when the thread first
// throws; were that first throw a bad_alloc with memory exhausted, the
// runtime would abort the process instead. This throws and catches one
// exception, so that it happens while memory is still there: called once at
// import, for the thread that imports.
void prime_exceptions() noexcept;

// Runs an operation body; the result becomes a return value or a raised
// exception, and nothing thrown gets past.
template <class Body>
PyObject* call_guarded(Body&& body) noexcept {
    // Touches the calling thread's exception state, which makes it for a
    // thread that never threw: cheap, and done before the work allocates.
    (void)std::uncaught_exceptions();
    try {
        PyResult result = body();
        if (result) return result.value().release();
        std::move(result.error()).raise();
    } catch (...) {
        detail::raise_escaped(std::current_exception());
    }
    return nullptr;
}

}  // namespace qvtok
