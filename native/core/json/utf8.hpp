// UTF-8 validation and lossy decoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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

// What a string object of well-formed UTF-8 needs to be made at its final
// width: its characters, and the largest of them rounded up to what its
// width holds (0xFF, 0xFFFF or 0x10FFFF).
struct Utf8Shape {
    std::size_t chars;
    std::uint32_t max_char;
};

inline Utf8Shape utf8_shape(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    // Characters are the bytes that are no continuation (10xxxxxx); the
    // width follows from the largest lead byte: from 0xC4 on a character
    // passes U+00FF, from 0xF0 on U+FFFF. Eight bytes a step.
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    std::size_t continuation = 0;
    std::uint64_t past_latin1 = 0, past_bmp = 0;
    for (; end - p >= 8; p += 8) {
        std::uint64_t x;
        std::memcpy(&x, p, sizeof x);
        // Bit 7 of each byte, with bit 7 - k of the same byte shifted in.
        const std::uint64_t lead = x & (x << 1) & kHigh;  // 11xxxxxx
        // One bit per continuation byte, summed into the top byte by the
        // multiply: a popcount without needing the instruction.
        const std::uint64_t cont = (x & ~(x << 1) & kHigh) >> 7;
        continuation += static_cast<std::size_t>((cont * 0x0101010101010101ull) >> 56);
        past_latin1 |= lead & ((x << 2) | (x << 3) | (x << 4) | (x << 5));
        past_bmp |= lead & (x << 2) & (x << 3);
    }
    unsigned char top = 0;
    for (; p < end; ++p) {
        continuation += (*p & 0xC0) == 0x80;
        top = *p > top ? *p : top;
    }
    const std::uint32_t max_char = (past_bmp != 0 || top >= 0xF0)       ? 0x10FFFF
                                   : (past_latin1 != 0 || top >= 0xC4) ? 0xFFFF
                                                                       : 0xFF;
    return Utf8Shape{bytes.size() - continuation, max_char};
}

// The characters of UTF-8 as units of a string's width (1, 2 or 4 bytes),
// up to `out_end`. Well-formed input fills exactly shape.chars units. Other
// bytes give units of no meaning, but never a read past `end` or a write
// past `out_end`: a text may be decoded before its check has ended.
template <class Unit>
Unit* decode_utf8_into(const unsigned char* p, const unsigned char* end, Unit* out, Unit* out_end) {
    while (p < end && out < out_end) {
        std::uint32_t c = *p;
        if (c < 0x80) {
            ++p;
        } else if (c < 0xE0) {
            if (end - p < 2) break;
            c = ((c & 0x1F) << 6) | (p[1] & 0x3F);
            p += 2;
        } else if (c < 0xF0) {
            if (end - p < 3) break;
            c = ((c & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
            p += 3;
        } else {
            if (end - p < 4) break;
            c = ((c & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) | (p[3] & 0x3F);
            p += 4;
        }
        *out++ = static_cast<Unit>(c);
    }
    return out;
}

// Appends the code point as UTF-8 to `out` (anything with append(p, n)).
template <class Out>
inline void append_utf8(Out& out, std::uint32_t cp) {
    char buf[4];
    std::size_t n;
    if (cp < 0x80) {
        buf[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        buf[0] = static_cast<char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        buf[0] = static_cast<char>(0xF0 | (cp >> 18));
        buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    out.append(buf, n);
}

// Bytes per unit of a string whose largest character is `max_char`.
inline unsigned unit_width(std::uint32_t max_char) { return max_char <= 0xFF ? 1 : max_char <= 0xFFFF ? 2 : 4; }

// Replaces each maximal ill-formed subsequence with U+FFFD, as the Unicode
// standard recommends. Returns false and leaves `text` alone when it was
// already valid, so the common case copies nothing.
bool repair_utf8(std::string& text);

}  // namespace qvtok::json
