// The portable policy of the kernels: plain C++ on 64-bit words, eight bytes
// at a time, for processors without SSE2 (and to test the others against).
//
// Everything here lives in an unnamed namespace: see kernels_impl.hpp.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/json/utf8.hpp"
#include "core/simd/kernels_impl.hpp"

namespace qvtok::simd {
namespace {

// Byte-at-a-time UTF-8 check carried across windows, for the policies that
// have no table lookup across lanes. Only windows that hold non-ASCII bytes
// (or finish a character) come here.
class ByteUtf8 {
public:
    explicit ByteUtf8(const std::uint8_t* tail) {
        // An unfinished character always starts within the last three
        // bytes, so running them through the checker restores its state.
        for (int i = 0; i < 3; ++i) {
            if (!step(tail[i])) need_ = 0;
        }
    }
    bool pending() const { return need_ != 0; }
    void ascii_window() {}
    std::uint64_t check(const std::uint8_t* p, std::size_t len) {
        for (std::size_t i = 0; i < len; ++i) {
            if (!step(p[i])) return 1ull << i;
        }
        return 0;
    }

    // The whole-text check's side (see the AVX2 policy).
    void add(const std::uint8_t* p) { failed_ |= check(p, 64) != 0; }
    void add_ascii() { failed_ |= pending(); }
    void finish() { add_ascii(); }
    bool failed() const { return failed_; }

private:
    bool failed_ = false;

    bool step(std::uint8_t b) {
        if (need_ != 0) {
            if (b < lo_ || b > hi_) return false;
            --need_;
            lo_ = 0x80;
            hi_ = 0xBF;
            return true;
        }
        if (b < 0x80) return true;
        json::Utf8Lead lead = json::utf8_lead(b);
        if (lead.continuations < 0) return false;
        need_ = lead.continuations;
        lo_ = lead.lo;
        hi_ = lead.hi;
        return true;
    }

    int need_ = 0;
    std::uint8_t lo_ = 0x80;
    std::uint8_t hi_ = 0xBF;
};

struct Scalar {
    static constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    static constexpr std::uint64_t kTops = 0x8080808080808080ull;
    static constexpr std::uint64_t kLows = 0x7F7F7F7F7F7F7F7Full;

    // Eight bytes with the first one in the low byte, on any byte order.
    static std::uint64_t word(const void* p) {
        std::uint64_t x;
        std::memcpy(&x, p, 8);
        if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
        return x;
    }

    // Exact byte tests: the top bit of each byte of the result says whether
    // that byte matches. No borrow crosses bytes, unlike the cheaper
    // (x - ones) & ~x, which is only right up to its first hit.
    static std::uint64_t zero_bytes(std::uint64_t x) { return ~(((x & kLows) + kLows) | x) & kTops; }
    static std::uint64_t eq(std::uint64_t x, std::uint8_t c) { return zero_bytes(x ^ (kOnes * c)); }
    // Bytes below c, for c up to 0x80.
    static std::uint64_t below(std::uint64_t x, std::uint8_t c) {
        return ~(((x & kLows) + kOnes * static_cast<std::uint8_t>(0x80 - c)) | x) & kTops;
    }
    // The top bits of the eight bytes as eight bits.
    static std::uint64_t pack(std::uint64_t tops) { return ((tops >> 7) * 0x0102040810204080ull) >> 56; }

    template <class F>
    static std::uint64_t mask64(const std::uint8_t* p, F f) {
        std::uint64_t out = 0;
        for (int k = 0; k < 8; ++k) out |= pack(f(word(p + 8 * k))) << (8 * k);
        return out;
    }

    // "[" and "{" differ only in bit 5, and so do "]" and "}".
    static JsonMasks json_masks(const std::uint8_t* p) {
        JsonMasks m{0, 0, 0, 0, 0};
        for (int k = 0; k < 8; ++k) {
            std::uint64_t x = word(p + 8 * k);
            std::uint64_t folded = x | (kOnes * 0x20);
            unsigned s = 8 * k;
            m.quote |= pack(eq(x, '"')) << s;
            m.backslash |= pack(eq(x, '\\')) << s;
            m.open |= pack(eq(folded, '{')) << s;
            m.close |= pack(eq(folded, '}')) << s;
            m.comma |= pack(eq(x, ',')) << s;
        }
        return m;
    }

    // Tab, line feed, form feed, carriage return, space.
    static std::uint64_t space_mask(const std::uint8_t* p) {
        return mask64(p, [](std::uint64_t x) {
            return eq(x, ' ') | eq(x, '\t') | eq(x, '\n') | eq(x, '\f') | eq(x, '\r');
        });
    }

    static LineMasks line_masks(const std::uint8_t* p) {
        LineMasks m{0, 0, 0};
        for (int k = 0; k < 8; ++k) {
            std::uint64_t x = word(p + 8 * k);
            unsigned s = 8 * k;
            m.line_feed |= pack(eq(x, '\n')) << s;
            m.printable |= pack(~below(x, 0x21) & ~x & kTops) << s;
            m.non_ascii |= pack(x & kTops) << s;
        }
        return m;
    }

    static bool any_non_ascii(const std::uint8_t* p) {
        std::uint64_t any = 0;
        for (int k = 0; k < 8; ++k) any |= word(p + 8 * k);
        return (any & kTops) != 0;
    }

    // Bytes below 0x20 other than tab to carriage return.
    static std::uint64_t control_mask(const std::uint8_t* p) {
        return mask64(p, [](std::uint64_t x) {
            std::uint64_t low = below(x, 0x20);
            std::uint64_t tab_to_cr = below(x, 0x0E) & ~below(x, 0x09);
            return low & ~tab_to_cr;
        });
    }

    // Every byte below 0x20.
    static std::uint64_t below_space_mask(const std::uint8_t* p) {
        return mask64(p, [](std::uint64_t x) { return below(x, 0x20); });
    }

    static std::uint64_t prefix_xor(std::uint64_t x) { return prefix_xor_by_shifts(x); }

    using Utf8 = ByteUtf8;

    // The reader's primitives (see baseline.hpp), over kRun bytes.
    static constexpr std::size_t kRun = 8;

    // The index of the first quote, backslash or byte below 0x20 among
    // p[0, kRun), or kRun; `high` is made non-zero when a byte before it is
    // 0x80 or above.
    [[gnu::always_inline]] static unsigned string_run(const char* p, unsigned& high) {
        std::uint64_t x = word(p);
        std::uint64_t hit = eq(x, '"') | eq(x, '\\') | below(x, 0x20);
        if (hit == 0) {
            high |= static_cast<unsigned>((x & kTops) != 0);
            return kRun;
        }
        unsigned k = static_cast<unsigned>(__builtin_ctzll(hit)) / 8;
        std::uint64_t before = k == 0 ? 0 : (~0ull >> (64 - 8 * k));
        high |= static_cast<unsigned>((x & kTops & before) != 0);
        return k;
    }

    // The index of the first byte among p[0, kRun) that is not JSON white
    // space (space, tab, line feed, carriage return), or kRun.
    [[gnu::always_inline]] static unsigned space_run(const char* p) {
        std::uint64_t x = word(p);
        std::uint64_t other = ~(eq(x, ' ') | eq(x, '\n') | eq(x, '\r') | eq(x, '\t')) & kTops;
        return other == 0 ? static_cast<unsigned>(kRun) : static_cast<unsigned>(__builtin_ctzll(other)) / 8;
    }
};

}  // namespace
}  // namespace qvtok::simd
