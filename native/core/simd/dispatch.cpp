// The baseline (SSE2) kernels and the choice between them and the AVX2 ones.
#include "core/simd/kernels.hpp"

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/json/utf8.hpp"
#include "core/simd/kernels_impl.hpp"

namespace qvtok::simd {

namespace avx2 {
// Defined in scan_simd_avx2.cpp; callable only where the processor has AVX2.
std::size_t find_separator(const char* data, std::size_t n, ArrayState& state);
void count_array(const char* data, std::size_t n, CountState& state);
std::size_t count_lines(const char* data, std::size_t n, LineState& state);
std::uint64_t count_line_feeds(const char* data, std::size_t n);
}  // namespace avx2

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

    static std::uint64_t prefix_xor(std::uint64_t x) {
        x ^= x << 1;
        x ^= x << 2;
        x ^= x << 4;
        x ^= x << 8;
        x ^= x << 16;
        x ^= x << 32;
        return x;
    }

    // Byte-at-a-time UTF-8 check, carried across windows; only windows that
    // hold non-ASCII bytes (or finish a character) come here.
    class Utf8 {
    public:
        explicit Utf8(const std::uint8_t* tail) {
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

    private:
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
};

using Baseline = Kernels<Sse2>;

struct Table {
    std::size_t (*find_separator)(const char*, std::size_t, ArrayState&);
    void (*count_array)(const char*, std::size_t, CountState&);
    std::size_t (*count_lines)(const char*, std::size_t, LineState&);
    std::uint64_t (*count_line_feeds)(const char*, std::size_t);
    const char* name;
};

bool avx2_usable() {
#ifdef QVTOK_BASELINE_KERNELS
    return false;
#else
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt") &&
           __builtin_cpu_supports("pclmul");
#endif
}

Table pick() {
    if (avx2_usable()) {
        return Table{avx2::find_separator, avx2::count_array, avx2::count_lines, avx2::count_line_feeds,
                     "avx2"};
    }
    return Table{Baseline::find_separator, Baseline::count_array, Baseline::count_lines,
                 Baseline::count_line_feeds, "sse2"};
}

const Table& table() {
    static const Table chosen = pick();
    return chosen;
}

}  // namespace

std::size_t find_separator(const char* data, std::size_t n, ArrayState& state) {
    return table().find_separator(data, n, state);
}

void count_array(const char* data, std::size_t n, CountState& state) {
    table().count_array(data, n, state);
}

std::size_t count_lines(const char* data, std::size_t n, LineState& state) {
    return table().count_lines(data, n, state);
}

bool ends_in_partial_character(const LineState& state) {
    return Baseline::tail_incomplete(state.tail);
}

std::uint64_t count_line_feeds(const char* data, std::size_t n) {
    return table().count_line_feeds(data, n);
}

const char* kernel_name() { return table().name; }

}  // namespace qvtok::simd
