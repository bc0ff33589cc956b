// The AVX2 kernels. Everything that this file includes comes before the
// target switch below, so that only the code written after it (the kernels
// and their private policy) is compiled for AVX2; dispatch.cpp hands them out
// only on processors that have AVX2, BMI, BMI2, POPCNT and PCLMUL.
#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/simd/kernels.hpp"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,bmi,bmi2,popcnt,pclmul"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,popcnt,pclmul")
#endif

#include "core/simd/kernels_impl.hpp"

namespace qvtok::simd {

namespace {

struct Avx2 {
    static std::uint64_t bits(__m256i lo, __m256i hi) {
        return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(lo))) |
               static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(hi))) << 32;
    }

    static __m256i load(const std::uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

    static JsonMasks json_masks(const std::uint8_t* p) {
        __m256i a = load(p), b = load(p + 32);
        __m256i quote = _mm256_set1_epi8('"'), backslash = _mm256_set1_epi8('\\'), comma = _mm256_set1_epi8(',');
        __m256i fold = _mm256_set1_epi8(0x20);
        __m256i open = _mm256_set1_epi8('{'), close = _mm256_set1_epi8('}');
        // "[" and "{" differ only in bit 5, and so do "]" and "}".
        __m256i fa = _mm256_or_si256(a, fold), fb = _mm256_or_si256(b, fold);
        return JsonMasks{
            bits(_mm256_cmpeq_epi8(a, quote), _mm256_cmpeq_epi8(b, quote)),
            bits(_mm256_cmpeq_epi8(a, backslash), _mm256_cmpeq_epi8(b, backslash)),
            bits(_mm256_cmpeq_epi8(fa, open), _mm256_cmpeq_epi8(fb, open)),
            bits(_mm256_cmpeq_epi8(fa, close), _mm256_cmpeq_epi8(fb, close)),
            bits(_mm256_cmpeq_epi8(a, comma), _mm256_cmpeq_epi8(b, comma)),
        };
    }

    // Bytes 0x09 to 0x0D and 0x20.
    static __m256i white(__m256i v) {
        __m256i shifted = _mm256_sub_epi8(v, _mm256_set1_epi8(9));
        __m256i in_range = _mm256_cmpeq_epi8(_mm256_min_epu8(shifted, _mm256_set1_epi8(4)), shifted);
        return _mm256_or_si256(in_range, _mm256_cmpeq_epi8(v, _mm256_set1_epi8(' ')));
    }

    static std::uint64_t space_mask(const std::uint8_t* p) {
        __m256i a = load(p), b = load(p + 32);
        __m256i vt = _mm256_set1_epi8('\v');
        return bits(_mm256_andnot_si256(_mm256_cmpeq_epi8(a, vt), white(a)),
                    _mm256_andnot_si256(_mm256_cmpeq_epi8(b, vt), white(b)));
    }

    static LineMasks line_masks(const std::uint8_t* p) {
        __m256i a = load(p), b = load(p + 32);
        __m256i lf = _mm256_set1_epi8('\n'), space = _mm256_set1_epi8(' ');
        // Signed comparison: bytes of 0x80 and above are negative.
        return LineMasks{bits(_mm256_cmpeq_epi8(a, lf), _mm256_cmpeq_epi8(b, lf)),
                         bits(_mm256_cmpgt_epi8(a, space), _mm256_cmpgt_epi8(b, space)), bits(a, b)};
    }

    static bool any_non_ascii(const std::uint8_t* p) {
        return _mm256_movemask_epi8(_mm256_or_si256(load(p), load(p + 32))) != 0;
    }

    static std::uint64_t below_space_mask(const std::uint8_t* p) {
        __m256i a = load(p), b = load(p + 32);
        __m256i limit = _mm256_set1_epi8(0x1F);
        return bits(_mm256_cmpeq_epi8(_mm256_min_epu8(a, limit), a), _mm256_cmpeq_epi8(_mm256_min_epu8(b, limit), b));
    }

    static std::uint64_t control_mask(const std::uint8_t* p) {
        __m256i a = load(p), b = load(p + 32);
        __m256i space = _mm256_set1_epi8(' ');
        // Below the space (and not negative), and not tab to carriage return.
        __m256i ca = _mm256_andnot_si256(white(a), _mm256_and_si256(_mm256_cmpgt_epi8(space, a),
                                                                     _mm256_cmpgt_epi8(a, _mm256_set1_epi8(-1))));
        __m256i cb = _mm256_andnot_si256(white(b), _mm256_and_si256(_mm256_cmpgt_epi8(space, b),
                                                                     _mm256_cmpgt_epi8(b, _mm256_set1_epi8(-1))));
        return bits(ca, cb);
    }

    static std::uint64_t prefix_xor(std::uint64_t x) {
        __m128i all = _mm_set1_epi8(static_cast<char>(0xFF));
        return static_cast<std::uint64_t>(
            _mm_cvtsi128_si64(_mm_clmulepi64_si128(_mm_set_epi64x(0, static_cast<long long>(x)), all, 0)));
    }

    // The table-driven check of Keiser and Lemire: three 16-entry lookups on
    // the nibbles of each byte and of the byte before it flag every bad
    // pair, and a saturating subtraction finds the bytes that must continue a
    // three- or four-byte character.
    class Utf8 {
    public:
        explicit Utf8(const std::uint8_t* tail) {
            alignas(32) std::uint8_t start[32] = {};
            start[29] = tail[0];
            start[30] = tail[1];
            start[31] = tail[2];
            prev_ = _mm256_load_si256(reinterpret_cast<const __m256i*>(start));
            incomplete_ = tail[2] >= 0xC0 || tail[1] >= 0xE0 || tail[0] >= 0xF0;
        }
        bool pending() const { return incomplete_; }
        void ascii_window() { incomplete_ = false; }

        std::uint64_t check(const std::uint8_t* p, std::size_t) {
            __m256i a = load(p), b = load(p + 32);
            __m256i ea = errors(a, prev_);
            __m256i eb = errors(b, a);
            prev_ = b;
            const __m256i limit = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                                   -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                                   static_cast<char>(0xEF), static_cast<char>(0xDF),
                                                   static_cast<char>(0xBF));
            __m256i over = _mm256_subs_epu8(b, limit);
            incomplete_ = !_mm256_testz_si256(over, over);
            __m256i any = _mm256_or_si256(ea, eb);
            if (_mm256_testz_si256(any, any)) return 0;
            __m256i zero = _mm256_setzero_si256();
            return ~bits(_mm256_cmpeq_epi8(ea, zero), _mm256_cmpeq_epi8(eb, zero));
        }

        // The whole-text check gathers the faults of many windows and looks
        // at them once (failed): add takes a window, add_ascii one without
        // bytes beyond ASCII, finish the end of the text.
        void add(const std::uint8_t* p) {
            __m256i a = load(p), b = load(p + 32);
            errors_ = _mm256_or_si256(errors_, _mm256_or_si256(errors(a, prev_), errors(b, a)));
            prev_ = b;
            const __m256i limit = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                                   -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                                   static_cast<char>(0xEF), static_cast<char>(0xDF),
                                                   static_cast<char>(0xBF));
            cut_ = _mm256_subs_epu8(b, limit);
        }
        void add_ascii() {
            errors_ = _mm256_or_si256(errors_, cut_);
            cut_ = _mm256_setzero_si256();
        }
        void finish() { add_ascii(); }
        bool failed() const { return !_mm256_testz_si256(errors_, errors_); }

    private:
        __m256i errors_ = _mm256_setzero_si256();
        __m256i cut_ = _mm256_setzero_si256();

        static __m256i prev(__m256i input, __m256i previous, int n) {
            __m256i joined = _mm256_permute2x128_si256(previous, input, 0x21);
            switch (n) {
                case 1: return _mm256_alignr_epi8(input, joined, 15);
                case 2: return _mm256_alignr_epi8(input, joined, 14);
                default: return _mm256_alignr_epi8(input, joined, 13);
            }
        }

        static __m256i lookup(__m256i nibbles, __m256i table) { return _mm256_shuffle_epi8(table, nibbles); }

        static __m256i high_nibbles(__m256i v) {
            return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
        }

        static __m256i errors(__m256i input, __m256i previous) {
            constexpr char kTooShort = 1 << 0;   // lead or ASCII followed by lead or ASCII
            constexpr char kTooLong = 1 << 1;    // ASCII followed by continuation
            constexpr char kOverlong3 = 1 << 2;  // E0 followed by 80..9F
            constexpr char kTooLarge = 1 << 3;   // above U+10FFFF
            constexpr char kSurrogate = 1 << 4;  // ED followed by A0..BF
            constexpr char kOverlong2 = 1 << 5;  // C0 or C1
            constexpr char kTooLarge1000 = 1 << 6;
            constexpr char kOverlong4 = 1 << 6;  // F0 followed by 80..8F
            constexpr char kTwoConts = static_cast<char>(1 << 7);
            constexpr char kCarry = kTooShort | kTooLong | kTwoConts;

            const __m256i byte1_high_table = _mm256_setr_epi8(
                kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
                kTwoConts, kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
                kTooShort | kOverlong3 | kSurrogate, kTooShort | kTooLarge | kTooLarge1000 | kOverlong4,
                kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
                kTwoConts, kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
                kTooShort | kOverlong3 | kSurrogate, kTooShort | kTooLarge | kTooLarge1000 | kOverlong4);
            const __m256i byte1_low_table = _mm256_setr_epi8(
                kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
                kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                kCarry | kTooLarge | kTooLarge1000 | kSurrogate, kCarry | kTooLarge | kTooLarge1000,
                kCarry | kTooLarge | kTooLarge1000,
                kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
                kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                kCarry | kTooLarge | kTooLarge1000 | kSurrogate, kCarry | kTooLarge | kTooLarge1000,
                kCarry | kTooLarge | kTooLarge1000);
            const __m256i byte2_high_table = _mm256_setr_epi8(
                kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
                kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
                kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
                kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
                kTooShort, kTooShort, kTooShort, kTooShort,
                kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
                kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
                kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
                kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
                kTooShort, kTooShort, kTooShort, kTooShort);

            __m256i prev1 = prev(input, previous, 1);
            __m256i special = _mm256_and_si256(
                _mm256_and_si256(lookup(high_nibbles(prev1), byte1_high_table),
                                 lookup(_mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)), byte1_low_table)),
                lookup(high_nibbles(input), byte2_high_table));
            __m256i third = _mm256_subs_epu8(prev(input, previous, 2), _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
            __m256i fourth = _mm256_subs_epu8(prev(input, previous, 3), _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
            __m256i must_continue =
                _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
            return _mm256_xor_si256(must_continue, special);
        }

        __m256i prev_;
        bool incomplete_;
    };
};

using Wide = Kernels<Avx2>;

}  // namespace

const KernelSet& avx2_kernels() {
    static constexpr KernelSet set{Wide::find_separator, Wide::count_array, Wide::count_lines, Wide::count_line_feeds,
                                   Wide::valid_utf8_prefix, Wide::skip_value, Wide::pass_elements};
    return set;
}

}  // namespace qvtok::simd

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
