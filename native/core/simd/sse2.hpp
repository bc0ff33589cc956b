// The SSE2 policy of the kernels: the baseline of every x86-64 processor,
// four 16-byte loads per window.
//
// Everything here lives in an unnamed namespace: see kernels_impl.hpp.
#pragma once

#if defined(__x86_64__) || defined(__i386__)

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/simd/kernels_impl.hpp"
#include "core/simd/scalar.hpp"

namespace qvtok::simd {
namespace {

struct Sse2 {
    static std::uint64_t bits(__m128i a, __m128i b, __m128i c, __m128i d) {
        return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(a))) |
               static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(b))) << 16 |
               static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(c))) << 32 |
               static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(d))) << 48;
    }

    struct Block {
        __m128i v[4];
        explicit Block(const std::uint8_t* p) {
            for (int i = 0; i < 4; ++i) v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        }
        std::uint64_t eq(char c) const {
            __m128i k = _mm_set1_epi8(c);
            return bits(_mm_cmpeq_epi8(v[0], k), _mm_cmpeq_epi8(v[1], k), _mm_cmpeq_epi8(v[2], k),
                        _mm_cmpeq_epi8(v[3], k));
        }
        std::uint64_t eq_folded(char c) const {
            __m128i k = _mm_set1_epi8(c);
            __m128i fold = _mm_set1_epi8(0x20);
            return bits(_mm_cmpeq_epi8(_mm_or_si128(v[0], fold), k), _mm_cmpeq_epi8(_mm_or_si128(v[1], fold), k),
                        _mm_cmpeq_epi8(_mm_or_si128(v[2], fold), k), _mm_cmpeq_epi8(_mm_or_si128(v[3], fold), k));
        }
        // Bytes 0x09 to 0x0D and 0x20.
        std::uint64_t white() const {
            __m128i nine = _mm_set1_epi8(9), four = _mm_set1_epi8(4), space = _mm_set1_epi8(' ');
            __m128i r[4];
            for (int i = 0; i < 4; ++i) {
                __m128i shifted = _mm_sub_epi8(v[i], nine);
                __m128i in_range = _mm_cmpeq_epi8(_mm_min_epu8(shifted, four), shifted);
                r[i] = _mm_or_si128(in_range, _mm_cmpeq_epi8(v[i], space));
            }
            return bits(r[0], r[1], r[2], r[3]);
        }
        std::uint64_t high() const { return bits(v[0], v[1], v[2], v[3]); }
        // 0x21 to 0x7F: a signed comparison, in which bytes of 0x80 and above are negative.
        std::uint64_t above_space() const {
            __m128i k = _mm_set1_epi8(' ');
            return bits(_mm_cmpgt_epi8(v[0], k), _mm_cmpgt_epi8(v[1], k), _mm_cmpgt_epi8(v[2], k),
                        _mm_cmpgt_epi8(v[3], k));
        }
        // 0x00 to 0x1F.
        std::uint64_t below_space() const {
            __m128i k = _mm_set1_epi8(0x1F);
            __m128i r[4];
            for (int i = 0; i < 4; ++i) r[i] = _mm_cmpeq_epi8(_mm_min_epu8(v[i], k), v[i]);
            return bits(r[0], r[1], r[2], r[3]);
        }
    };

    static JsonMasks json_masks(const std::uint8_t* p) {
        Block b(p);
        return JsonMasks{b.eq('"'), b.eq('\\'), b.eq_folded('{'), b.eq_folded('}'), b.eq(',')};
    }

    static std::uint64_t space_mask(const std::uint8_t* p) {
        Block b(p);
        return b.white() & ~b.eq('\v');
    }

    static LineMasks line_masks(const std::uint8_t* p) {
        Block b(p);
        return LineMasks{b.eq('\n'), b.above_space(), b.high()};
    }

    static std::uint64_t control_mask(const std::uint8_t* p) {
        Block b(p);
        return b.below_space() & ~b.white();
    }

    static std::uint64_t prefix_xor(std::uint64_t x) { return prefix_xor_by_shifts(x); }

    static bool any_non_ascii(const std::uint8_t* p) {
        Block b(p);
        return _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(b.v[0], b.v[1]), _mm_or_si128(b.v[2], b.v[3]))) != 0;
    }

    static std::uint64_t below_space_mask(const std::uint8_t* p) { return Block(p).below_space(); }

    using Utf8 = ByteUtf8;

    // The reader's primitives (see baseline.hpp), over kRun bytes.
    static constexpr std::size_t kRun = 16;

    // The index of the first quote, backslash or byte below 0x20 among
    // p[0, kRun), or kRun; `high` gets the bits of the bytes before it that
    // are 0x80 or above.
    [[gnu::always_inline]] static unsigned string_run(const char* p, unsigned& high) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i special = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
            _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v));
        unsigned stop = static_cast<unsigned>(_mm_movemask_epi8(special));
        unsigned top = static_cast<unsigned>(_mm_movemask_epi8(v));
        if (stop != 0) {
            unsigned k = static_cast<unsigned>(__builtin_ctz(stop));
            high |= top & ((1u << k) - 1);
            return k;
        }
        high |= top;
        return kRun;
    }

    // The index of the first byte among p[0, kRun) that is not JSON white
    // space (space, tab, line feed, carriage return), or kRun.
    [[gnu::always_inline]] static unsigned space_run(const char* p) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i space = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))));
        unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(space)) & 0xFFFF;
        return other == 0 ? static_cast<unsigned>(kRun) : static_cast<unsigned>(__builtin_ctz(other));
    }
};

}  // namespace
}  // namespace qvtok::simd

#endif
