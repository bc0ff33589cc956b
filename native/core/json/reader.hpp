// The strict JSON reader: one in-memory UTF-8 text to one Document, or the
// first syntax error with its line and column within that text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/json/syntax.hpp"
#include "core/json/value.hpp"

namespace qvtok::json {

// How a document keeps the keys of its objects.
enum class KeyOrder : unsigned char {
    // Ascending byte order; of a repeated key only the last member stays.
    Sorted,
    // As they stand in the text, every member kept: whoever builds a mapping
    // from them decides what a repeated key means.
    Document,
};

// The deepest nesting of arrays and objects that bigjson reads.
inline constexpr unsigned kNestingLimit = 127;
// The deepest that qvtok.open reads unless told otherwise: trees and
// syntax trees go past bigjson's limit, and orjson reads this deep.
inline constexpr unsigned kOpenNestingLimit = 1024;
// The deepest that anyone may ask for. The reader keeps its open
// containers on the heap, but a value this deep is still walked by
// recursion where Python's objects are made and where a schema is
// rendered: this keeps those walks far inside a thread's stack.
inline constexpr unsigned kMaxNestingLimit = 10000;

// How the reader builds a document. The defaults are what bigjson shows.
struct ReadOptions {
    KeyOrder key_order = KeyOrder::Sorted;
    // Integers as Python's json reads them: beyond 64 bits exact
    // (Kind::BigInt, whose string is the literal's text), and "-0" as 0.
    bool exact_integers = false;
    // The deepest nesting of arrays and objects read (1 to
    // kMaxNestingLimit): the bracket that opens one level more is a
    // RecursionLimit error.
    unsigned max_depth = kNestingLimit;
    // With exact_integers: the most digits an integer beyond 64 bits may
    // have, 0 for no limit. Python's int() refuses longer literals, so a
    // reader for Python refuses them where they stand, as a fault of the
    // record, and a check finds them as a read would.
    std::size_t max_int_digits = 0;
    // A comma right before a closer is json's fault at the comma, as
    // Python's json says it from 3.13 on; otherwise the closer is named,
    // where a value or a key was due.
    bool trailing_comma_at_comma = false;
};

// What a reader needs so that the conversion gives the values of Python's
// json.load, as qvtok.open reads them.
inline constexpr ReadOptions kJsonModuleOptions{KeyOrder::Document, true, kOpenNestingLimit};

struct JsonParseError {
    Syntax syntax;
    std::uint64_t line;    // 1-based
    std::uint64_t column;  // bytes from the line start, may be 0
    std::uint64_t offset;  // the byte named, from the start of the parsed range
    // The parse was stopped by its interruption check, not by the text: the
    // other fields mean nothing.
    bool interrupted = false;
    // The fault as Python's json tells it, and the place it names: its
    // offset from the start of the parsed range (the end of the text for
    // one that ends too soon), and json's line and column of that offset
    // (line from 1; column from 1, counted from the line feed before).
    JsonFault json_fault = JsonFault::None;
    std::uint64_t json_offset = 0;
    std::uint64_t json_line = 0;
    std::uint64_t json_column = 0;
};

// Asked every so many values during a parse; nonzero stops it. The
// interpreter's signal check (PyErr_CheckSignals) has this shape, so that a
// parse of a huge text can be stopped by Ctrl-C.
using InterruptCheck = int (*)();

// The reader's error as a core error of `code`, for a piece of text that
// starts `piece_offset` bytes into the stream.
inline Error syntax_error(ErrorCode code, const JsonParseError& e, std::uint64_t piece_offset) {
    Error error = Error::of(code);
    error.syntax = e.syntax;
    error.line = e.line;
    error.column = e.column;
    error.offset = piece_offset + e.offset;
    error.json_fault = e.json_fault;
    error.json_offset = piece_offset + e.json_offset;
    error.json_line = e.json_line;
    error.json_column = e.json_column;
    return error;
}

// Storage that a caller parsing many small texts (lines, array elements)
// keeps from one parse to the next, so that each parse does not allocate
// afresh: the reader's working lists, and the vectors of a document the
// caller has finished with.
class ReaderScratch {
public:
    // Hands back a document whose values are no longer needed.
    void recycle(Document&& doc) { spare_ = std::move(doc); }

private:
    friend class ScratchAccess;
    struct KeyOrder {
        std::uint64_t prefix;
        std::uint64_t pos;
    };
    // A container that is open while the reader reads what it holds.
    struct OpenContainer {
        std::uint64_t node;   // its node on the tape
        std::uint64_t count;  // its values (members) read so far
        std::uint64_t mark;   // an object's first entry in pending_
        bool object;
    };
    std::vector<Entry> pending_;     // entries of the objects still open
    std::vector<KeyOrder> order_;    // one object's sort
    std::vector<OpenContainer> open_;  // deep nesting: past what the reader holds itself
    Document spare_;
};

// Parses text[begin, begin + length) as exactly one JSON value surrounded by
// optional JSON whitespace. The caller guarantees valid UTF-8. The document
// takes ownership of `text` so that strings without escapes are not copied;
// error positions count from `begin`.
Expected<Document, JsonParseError> read_json_text(std::string text, std::size_t begin,
                                                  std::size_t length, ReaderScratch& scratch,
                                                  const ReadOptions& options = {});
Expected<Document, JsonParseError> read_json_text(std::string text, std::size_t begin,
                                                  std::size_t length);

// Checks `text` as read_json_text reads it with `options`, building
// nothing: the same errors at the same places, or nullopt when it reads.
std::optional<JsonParseError> check_json_text(std::string_view text, const ReadOptions& options = {});

// As check_json_text, and when the text reads, appends it to `out` with the
// white space between its tokens dropped: every other byte as it stands, so
// numbers keep their spelling and objects their members. `out` is left as
// it was when the text does not read.
std::optional<JsonParseError> compact_json_text(std::string_view text, std::string& out,
                                                const ReadOptions& options = {});

// The value at the front of a text, for a stream that reads records where
// they lie: optional white space, one value, optional white space, and
// then a byte that the text must still hold (a value that reaches the end
// of the text might go on past it). Offsets from the text's start.
struct FrontValue {
    std::size_t value_begin = 0;
    std::size_t value_end = 0;
    std::size_t next = 0;  // the byte after the white space that follows the value
};
// Each nullopt when the text does not start that way, whatever the reason:
// the caller then takes the way that names the error. The text need not be
// UTF-8 (the caller checks the value's bytes after); these forms read with
// the same rules as the whole-text ones above.
//  - read: `out` gets the value, its text a copy of text[0, value_end);
//  - check: nothing is built;
//  - compact: the value without white space between its tokens is written
//    to `out`, which has room for all of the text (the text is often far
//    longer than its front value: a buffer kept for it saves clearing that
//    room each time), and its length to `written`.
std::optional<FrontValue> read_json_front(std::string_view text, ReaderScratch& scratch, const ReadOptions& options,
                                          Document& out);
std::optional<FrontValue> check_json_front(std::string_view text, const ReadOptions& options);
std::optional<FrontValue> compact_json_front(std::string_view text, char* out, std::size_t& written,
                                           const ReadOptions& options);

// Whole-text convenience forms, with an optional interruption check.
Expected<Document, JsonParseError> read_json_text(std::string text, InterruptCheck check = nullptr);
Expected<Document, JsonParseError> read_json_text(std::string text, const ReadOptions& options,
                                                  InterruptCheck check = nullptr);

}  // namespace qvtok::json
