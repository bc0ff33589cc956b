// Error values of the core. Nothing here touches the interpreter: an Error
// says what went wrong and where, and the text a user reads is made only
// when the error is shown, by whoever shows it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "core/json/syntax.hpp"

namespace qvtok {

enum class ErrorCode : std::uint8_t {
    CannotOpen,      // the path cannot be opened: `subject` is the path, `os_code` why (0: a NUL in it)
    CannotRead,      // the first bytes of `subject` cannot be read to tell its format
    UnknownFormat,   // `subject` (lower-cased) names no format
    ReadFailed,      // a read failed half-way: `os_code`
    InvalidUtf8,     // bytes that must be UTF-8 are not
    InvalidJson,     // the document, or the array that holds the records, is not JSON
    InvalidElement,  // one element of the top-level array is not one JSON value
    InvalidLine,     // one JSONL line is not one JSON value
    Interrupted,     // a signal handler raised; its exception is pending in the interpreter
    InvalidPointer,  // `subject` is no JSON Pointer
    NoMatch,         // the pointer `subject` matches nothing in a document; `column` counts the
                     // segments that matched before the one that did not
    CorruptCompressed,    // compressed data of codec `subject` does not decode: `offset` is in the
                          // compressed file, `detail` the decoder's reason
    TruncatedCompressed,  // compressed data of codec `subject` ends at `offset` before its stream does
    EncodeFailed,         // the compressor of codec `subject` failed: `detail` is its library's reason
    CodecUnavailable,     // this build cannot read or write codec `subject`
    Forked,               // a pass begun before fork() went on in the child, without its threads
    StructureLost,        // after the fault of record `record` no later record can be told apart: the
                          // bytes from `offset` to `end` (0: the end of the input) were not checked
};

// True for the errors that belong to one record, not to the whole input:
// a stream can go on past them, where the structure allows.
constexpr bool is_record_error(ErrorCode code) {
    switch (code) {
        case ErrorCode::InvalidUtf8:
        case ErrorCode::InvalidJson:
        case ErrorCode::InvalidElement:
        case ErrorCode::InvalidLine:
        case ErrorCode::NoMatch:
        case ErrorCode::StructureLost: return true;
        default: return false;
    }
}

struct Error {
    ErrorCode code = ErrorCode::InvalidJson;
    json::Syntax syntax = json::Syntax::EofValue;  // for the Invalid* codes: what the reader found
    int os_code = 0;
    // Where the fault is: the byte offset in the stream, and the reader's
    // line (1-based) and column (bytes from that line's start) within the
    // piece of text it parsed (the document, element or line).
    std::uint64_t offset = 0;
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    // The same place counted in the whole file (1-based line; column in
    // bytes from 1), where the stream knows it; 0 where it does not.
    std::uint64_t file_line = 0;
    std::uint64_t file_column = 0;
    // Which record the error belongs to, counted from 0 over the records and
    // broken records handed out so far.
    std::uint64_t record = 0;
    // The fault as Python's json tells it, from the reader: the offset in
    // the stream that json names, and its line and column within the piece
    // by json's rule (json_line 0: not from the reader).
    json::JsonFault json_fault = json::JsonFault::None;
    std::uint64_t json_offset = 0;
    std::uint64_t json_line = 0;
    std::uint64_t json_column = 0;
    // StructureLost: where the bytes not checked end, 0 when not known.
    std::uint64_t end = 0;
    std::string subject;
    const char* detail = nullptr;  // static text, for CorruptCompressed

    static Error of(ErrorCode code) {
        Error e;
        e.code = code;
        return e;
    }
    static Error os(ErrorCode code, int os_code) {
        Error e = of(code);
        e.os_code = os_code;
        return e;
    }
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
