// UTF-8 validation and lossy decoding.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qvtok::json {

// What a lead byte of 0x80 or above asks of the bytes after it (Table 3-7 of
// the Unicode standard): `continuations` more bytes, the first within
// [lo, hi] and the rest within [0x80, 0xBF]. The narrowed first range is what
// excludes overlongs, surrogates and code points above U+10FFFF. A byte that
// cannot lead a sequence gives -1.
struct Utf8Lead {
    int continuations;
    unsigned char lo;
    unsigned char hi;
};

constexpr Utf8Lead utf8_lead(unsigned char c) {
    using u8 = unsigned char;
    if (c >= 0xC2 && c <= 0xDF) return {1, 0x80, 0xBF};
    if (c >= 0xE0 && c <= 0xEF) return {2, u8(c == 0xE0 ? 0xA0 : 0x80), u8(c == 0xED ? 0x9F : 0xBF)};
    if (c >= 0xF0 && c <= 0xF4) return {3, u8(c == 0xF0 ? 0x90 : 0x80), u8(c == 0xF4 ? 0x8F : 0xBF)};
    return {-1, 0, 0};
}

// True when the bytes are well-formed UTF-8 (no surrogates, no overlongs,
// nothing above U+10FFFF).
bool is_valid_utf8(const char* data, std::size_t size);
inline bool is_valid_utf8(std::string_view s) { return is_valid_utf8(s.data(), s.size()); }

// The same as simd::valid_utf8_prefix, one byte at a time: the length of the
// longest prefix of whole well-formed characters. The kernels finish with it
// once they have found the window of the first fault.
std::size_t utf8_prefix_bytewise(const unsigned char* s, std::size_t n);

// Replaces each maximal ill-formed subsequence with U+FFFD, as the Unicode
// standard recommends. Returns false and leaves `text` alone when it was
// already valid, so the common case copies nothing.
bool repair_utf8(std::string& text);

}  // namespace qvtok::json
