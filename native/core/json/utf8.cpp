#include "core/json/utf8.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QVTOK_HAVE_AVX2_PATH 1
#endif

namespace qvtok::json {
namespace {

using u8 = unsigned char;

// Checks the multi-byte sequence whose lead byte (0x80 or above) is s[0],
// with `left` bytes available. Returns its length when it is well formed;
// otherwise 0, with `maximal` set to the length of its maximal ill-formed
// subpart (the bytes that one U+FFFD replaces).
inline std::size_t check_sequence(const u8* s, std::size_t left, std::size_t& maximal) {
    Utf8Lead lead = utf8_lead(s[0]);
    if (lead.continuations < 0) {
        maximal = 1;
        return 0;
    }
    std::size_t need = static_cast<std::size_t>(lead.continuations);
    u8 lo = lead.lo, hi = lead.hi;
    for (std::size_t k = 1; k <= need; ++k) {
        if (k >= left || s[k] < lo || s[k] > hi) {
            maximal = k;
            return 0;
        }
        lo = 0x80;
        hi = 0xBF;
    }
    return need + 1;
}

// Index of the first ASCII-run end at or after i: the first byte >= 0x80.
inline std::size_t skip_ascii(const u8* s, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
    while (n - i >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        unsigned m = static_cast<unsigned>(_mm_movemask_epi8(v));
        if (m != 0) return i + static_cast<std::size_t>(__builtin_ctz(m));
        i += 16;
    }
#else
    while (n - i >= 8) {
        std::uint64_t x;
        std::memcpy(&x, s + i, 8);
        if (x & 0x8080808080808080ull) break;
        i += 8;
    }
#endif
    while (i < n && s[i] < 0x80) ++i;
    return i;
}

// Length of the longest well-formed prefix that ends on a character boundary.
std::size_t valid_prefix(const u8* s, std::size_t n) {
    std::size_t i = 0;
    for (;;) {
        i = skip_ascii(s, i, n);
        if (i == n) return n;
        // Stay here while the text is multi-byte: no need to re-enter the
        // wide ASCII scan for each character of, say, Japanese text.
        do {
            std::size_t maximal = 0;
            std::size_t len = check_sequence(s + i, n - i, maximal);
            if (len == 0) return i;
            i += len;
        } while (i < n && s[i] >= 0x80);
    }
}

#if defined(QVTOK_HAVE_AVX2_PATH)

// The lookup algorithm of Keiser and Lemire ("Validating UTF-8 in less than
// one instruction per byte", 2021): three 16-entry table lookups on the
// nibbles of each byte and its predecessor classify every two-byte pattern,
// and the third and fourth bytes of long sequences are checked with shifted
// copies of the input. Errors accumulate; one test at the end.
namespace avx2 {

constexpr u8 kTooShort = 1 << 0;   // lead followed by a non-continuation
constexpr u8 kTooLong = 1 << 1;    // ASCII followed by a continuation
constexpr u8 kOverlong3 = 1 << 2;  // E0 80..9F
constexpr u8 kTooLarge = 1 << 3;   // F4 90..BF, F5..FF 90..BF
constexpr u8 kSurrogate = 1 << 4;  // ED A0..BF
constexpr u8 kOverlong2 = 1 << 5;  // C0..C1 continuation
constexpr u8 kTooLarge1000 = 1 << 6;  // F5..FF 80..8F
constexpr u8 kOverlong4 = 1 << 6;     // F0 80..8F
constexpr u8 kTwoConts = 1 << 7;      // continuation after continuation
constexpr u8 kCarry = kTooShort | kTooLong | kTwoConts;

#define QVTOK_AVX2 __attribute__((target("avx2")))

QVTOK_AVX2 inline __m256i table16(u8 a0, u8 a1, u8 a2, u8 a3, u8 a4, u8 a5, u8 a6, u8 a7, u8 a8,
                                  u8 a9, u8 a10, u8 a11, u8 a12, u8 a13, u8 a14, u8 a15) {
    return _mm256_setr_epi8(
        static_cast<char>(a0), static_cast<char>(a1), static_cast<char>(a2), static_cast<char>(a3),
        static_cast<char>(a4), static_cast<char>(a5), static_cast<char>(a6), static_cast<char>(a7),
        static_cast<char>(a8), static_cast<char>(a9), static_cast<char>(a10), static_cast<char>(a11),
        static_cast<char>(a12), static_cast<char>(a13), static_cast<char>(a14), static_cast<char>(a15),
        static_cast<char>(a0), static_cast<char>(a1), static_cast<char>(a2), static_cast<char>(a3),
        static_cast<char>(a4), static_cast<char>(a5), static_cast<char>(a6), static_cast<char>(a7),
        static_cast<char>(a8), static_cast<char>(a9), static_cast<char>(a10), static_cast<char>(a11),
        static_cast<char>(a12), static_cast<char>(a13), static_cast<char>(a14), static_cast<char>(a15));
}

// The input shifted right by N bytes, the last N bytes of `prev` shifted in.
template <int N>
QVTOK_AVX2 inline __m256i prev(__m256i input, __m256i prev_input) {
    return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(prev_input, input, 0x21), 16 - N);
}

QVTOK_AVX2 inline __m256i high_nibble(__m256i v) {
    return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// Filled by is_valid below: member initialisers would need AVX2 outside it.
struct Checker {
    __m256i error;
    __m256i prev_input;
    __m256i prev_incomplete;

    QVTOK_AVX2 void block(__m256i input) {
        if (_mm256_movemask_epi8(input) == 0) {
            // An ASCII block is valid by itself; only a sequence cut off at
            // the end of the previous block can be wrong.
            error = _mm256_or_si256(error, prev_incomplete);
            prev_incomplete = _mm256_setzero_si256();
            prev_input = input;
            return;
        }
        __m256i prev1 = prev<1>(input, prev_input);
        const __m256i byte_1_high = _mm256_shuffle_epi8(
            table16(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
                    kTwoConts, kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
                    kTooShort | kOverlong3 | kSurrogate,
                    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4),
            high_nibble(prev1));
        constexpr u8 big = kCarry | kTooLarge | kTooLarge1000;
        const __m256i byte_1_low = _mm256_shuffle_epi8(
            table16(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
                    kCarry | kTooLarge, big, big, big, big, big, big, big, big, big | kSurrogate, big, big),
            _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)));
        constexpr u8 c8 = kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4;
        constexpr u8 c9 = kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge;
        constexpr u8 cab = kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge;
        const __m256i byte_2_high = _mm256_shuffle_epi8(
            table16(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                    kTooShort, c8, c9, cab, cab, kTooShort, kTooShort, kTooShort, kTooShort),
            high_nibble(input));
        __m256i special = _mm256_and_si256(_mm256_and_si256(byte_1_high, byte_1_low), byte_2_high);

        // Third and fourth bytes of three- and four-byte sequences must be
        // continuations: exactly there, "two continuations in a row" is
        // expected rather than an error.
        __m256i third = _mm256_subs_epu8(prev<2>(input, prev_input), _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
        __m256i fourth = _mm256_subs_epu8(prev<3>(input, prev_input), _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
        __m256i must23 = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
        error = _mm256_or_si256(error, _mm256_xor_si256(must23, special));

        // A lead byte among the last three that needs more bytes than remain.
        const __m256i max_complete = _mm256_setr_epi8(
            -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
            -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1),
            static_cast<char>(0xC0 - 1));
        prev_incomplete = _mm256_subs_epu8(input, max_complete);
        prev_input = input;
    }
};

QVTOK_AVX2 bool is_valid(const u8* s, std::size_t n) {
    Checker checker;
    checker.error = checker.prev_input = checker.prev_incomplete = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; n - i >= 64; i += 64) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 32));
        if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) == 0) {
            checker.error = _mm256_or_si256(checker.error, checker.prev_incomplete);
            checker.prev_incomplete = _mm256_setzero_si256();
            checker.prev_input = b;
            continue;
        }
        checker.block(a);
        checker.block(b);
    }
    for (; n - i >= 32; i += 32) checker.block(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i)));
    // The rest, padded with zero bytes (there is always at least one): a
    // sequence cut off by the end of the text meets an ASCII byte and fails
    // like any other short sequence.
    alignas(32) u8 tail[32] = {};
    std::memcpy(tail, s + i, n - i);
    checker.block(_mm256_load_si256(reinterpret_cast<const __m256i*>(tail)));
    return _mm256_testz_si256(checker.error, checker.error) != 0;
}

#undef QVTOK_AVX2

}  // namespace avx2

bool cpu_has_avx2() {
#ifdef QVTOK_BASELINE_KERNELS
    return false;
#else
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
#endif
}

#endif

}  // namespace

bool is_valid_utf8(const char* data, std::size_t size) {
    const u8* s = reinterpret_cast<const u8*>(data);
#if defined(QVTOK_HAVE_AVX2_PATH)
    if (size >= 64 && cpu_has_avx2()) return avx2::is_valid(s, size);
#endif
    return valid_prefix(s, size) == size;
}

bool repair_utf8(std::string& text) {
    if (is_valid_utf8(text.data(), text.size())) return false;
    const u8* s = reinterpret_cast<const u8*>(text.data());
    const std::size_t n = text.size();
    std::string out;
    out.reserve(n + n / 8 + 3);
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::size_t i = 0;
    while (i < n) {
        std::size_t ok = i + valid_prefix(s + i, n - i);
        out.append(text, i, ok - i);
        i = ok;
        if (i == n) break;
        // One U+FFFD per maximal ill-formed subpart; the byte that ended it
        // starts the next attempt.
        std::size_t maximal = 1;
        check_sequence(s + i, n - i, maximal);
        out.append(kReplacement, 3);
        i += maximal;
    }
    text = std::move(out);
    return true;
}

}  // namespace qvtok::json
