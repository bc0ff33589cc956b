// The wide-load kernels behind the JSON array scanners and the JSONL line
// counter. Each kernel takes one buffer and a small state that carries what a
// later buffer needs to know, so callers can feed a file in pieces of any size
// and get the same answer as from one byte-by-byte pass.
//
// The kernels exist in a baseline (SSE2) form and an AVX2 form; the form is
// picked once per process from what the processor offers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvtok::simd {

// Where the array scanner stands between two buffers.
struct ArrayState {
    std::uint64_t in_string = 0;  // all ones while inside a JSON string
    std::uint64_t escaped = 0;    // 1 when the next byte is escaped by a backslash
    std::int64_t depth = 1;       // 1 inside the top-level array
};

// Scans data[0, n) inside the top-level array and returns the offset of the
// first "," or "]" at depth 1 outside strings, or n when there is none. At a
// separator the state is left as it is after an element: outside strings,
// depth 1; the separator itself is not consumed.
std::size_t find_separator(const char* data, std::size_t n, ArrayState& state);

// Counting needs no stop: commas at depth 1 are tallied, brackets move the
// depth (also below 1 and after the closing bracket), and the first byte at
// depth 1 that can start a value is remembered.
struct CountState : ArrayState {
    std::uint64_t separators = 0;
    bool has_content = false;  // a byte other than whitespace, ",", "]" or "}" at depth 1
};

void count_array(const char* data, std::size_t n, CountState& state);

// The JSONL line counter: counts lines that hold a character outside Unicode
// White_Space and checks that every line is UTF-8.
struct LineState {
    std::uint64_t lines = 0;      // non-blank lines that ended so far
    bool significant = false;     // the open line has a non-White_Space character
    std::uint8_t pending = 0;     // bytes of a multi-byte character seen so far, for the blank test
    std::uint8_t need = 0;        // bytes of it still to come
    std::uint8_t partial[4] = {};
    std::uint8_t tail[3] = {};    // the last three bytes seen, for UTF-8 across buffers
    bool mostly_non_ascii = false;  // most windows of the last buffer held non-ASCII bytes
};

// Counts the lines of data[0, n). Returns n, or the offset of a byte of the
// first line that is not UTF-8 (counting then stops; the state is spent).
std::size_t count_lines(const char* data, std::size_t n, LineState& state);

// True when the bytes seen so far end inside a multi-byte character: at the
// end of the file that makes the last line ill-formed.
bool ends_in_partial_character(const LineState& state);

// How many line feeds data[0, n) holds.
std::uint64_t count_line_feeds(const char* data, std::size_t n);

// Which form the kernels run in: "avx2" or "sse2".
const char* kernel_name();

}  // namespace qvtok::simd
