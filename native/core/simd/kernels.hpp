// The wide-load kernels behind the JSON array scanners, the JSONL line
// counter and the UTF-8 check. Each kernel takes one buffer and a small
// state that carries what a later buffer needs to know, so callers can feed a
// file in pieces of any size and get the same answer as from one
// byte-by-byte pass.
//
// The kernels are written once (kernels_impl.hpp) over three instruction-set
// policies: AVX2, SSE2 and portable scalar code. The functions below run the
// best one the processor has, picked once per process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvtok::simd {

// Where the array scanner stands between two buffers.
struct ArrayState {
    std::uint64_t in_string = 0;  // all ones while inside a JSON string
    std::uint64_t escaped = 0;    // 1 when the next byte is escaped by a backslash
    std::int64_t depth = 1;       // 1 inside the top-level array
    // The kinds of the brackets open inside the top-level "[", as a stack
    // of bits (1 for "{", 0 for "["): the innermost is bit 0 of kinds[0],
    // the 64 below it go on into kinds[1]. Levels past 128 are not checked:
    // the reader refuses such depths anyway.
    std::uint64_t kinds[2] = {0, 0};
};

// Why find_separator stopped.
enum class Stop : std::uint8_t {
    More,      // no stop in this buffer: offset is its size
    Comma,     // "," at depth 1
    Close,     // "]" at depth 1: the array ends
    Mismatch,  // a closing bracket of another kind than its opening one, "}" at depth 1 included
    Control,   // a raw byte below 0x20 inside a string
};

struct Found {
    std::size_t offset;
    Stop stop;
};

// Scans data[0, n) inside the top-level array up to the first stop. At a
// Comma or Close the state is left as it is after an element: outside
// strings, depth 1; the separator itself is not consumed. At a Mismatch or
// Control, offset is the offending byte; after a Mismatch the state is
// outside strings at the depth of the closer (its kinds unchanged), after a
// Control it is spent. Below depth 1 nothing stops the scan.
Found find_separator(const char* data, std::size_t n, ArrayState& state);

// Passing over a value inside a container needs only its end: data[0, n)
// is scanned up to the first "," at depth 1 (Comma) or closer of either kind
// that closes depth 1 (Close; the caller checks its kind). Strings and
// escapes are followed and brackets move the depth; their kinds and control
// bytes are not checked, so that windows that cannot reach depth 1 cost one
// count. The state after a stop is as after find_separator's; `kinds` is
// left alone.
Found skip_value(const char* data, std::size_t n, ArrayState& state);

// Counting needs no stop and checks nothing: commas at depth 1 are tallied,
// brackets of either kind move the depth (also below 1 and after the closing
// bracket), and the first byte at depth 1 that can start a value is
// remembered.
struct CountState : ArrayState {
    std::uint64_t separators = 0;
    bool has_content = false;  // a byte other than whitespace, ",", "]" or "}" at depth 1
};

void count_array(const char* data, std::size_t n, CountState& state);

// Counting the records of an array needs no element's text. data[0, n)
// starts at an element's start inside an array (depth 1, outside strings);
// the elements that a comma at depth 1 ends and that hold a byte other than
// scanner white space are passed and counted in `passed`. The pass stops at
// the start of the first element it does not pass, whose offset it returns
// (n when the data ends there): one that the data cuts, one that the array's
// closer ends, one without content, and, leaving them to a slower way that
// names their faults, any element with a closer of the wrong kind, a control
// byte in a string or a byte above 0x7F outside strings.
std::size_t pass_elements(const char* data, std::size_t n, std::uint64_t& passed);

// The JSONL line counter: counts lines that hold a character outside Unicode
// White_Space and checks that every line is UTF-8.
struct LineState {
    // Blank means only JSON's white space (space, tab, carriage return)
    // when set, Unicode's White_Space otherwise.
    bool json_space = false;
    std::uint64_t lines = 0;      // non-blank lines that ended so far
    // Whether to count every line as well, for a caller that passes lines
    // on, into line_feeds.
    bool count_line_feeds = false;
    std::uint64_t line_feeds = 0;  // every line that ended so far, blank or not
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

// The length of the longest prefix of data[0, n) made of whole well-formed
// UTF-8 characters: n when all of it is UTF-8, else the offset of the first
// byte of the first ill-formed (or cut off) sequence.
std::size_t valid_utf8_prefix(const char* data, std::size_t n);

// Every policy's kernels, for tests and fuzzers that compare them.
enum class Isa : std::uint8_t { Scalar, Sse2, Avx2 };

struct KernelSet {
    Found (*find_separator)(const char*, std::size_t, ArrayState&);
    void (*count_array)(const char*, std::size_t, CountState&);
    std::size_t (*count_lines)(const char*, std::size_t, LineState&);
    std::uint64_t (*count_line_feeds)(const char*, std::size_t);
    std::size_t (*valid_utf8_prefix)(const char*, std::size_t);
    Found (*skip_value)(const char*, std::size_t, ArrayState&);
    std::size_t (*pass_elements)(const char*, std::size_t, std::uint64_t&);
};

// The kernels of one policy; nullptr where this build or processor lacks it.
const KernelSet* kernel_set(Isa isa);

}  // namespace qvtok::simd
