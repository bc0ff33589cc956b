// Decimal literal to double, correctly rounded (nearest, ties to even), the
// same value Python's float() gives for the literal's text.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

namespace qvtok::json::detail {

// The literal [first, last) has already passed the JSON number grammar.
// `significand` and `exponent` are its digits scanned into 64 bits with the
// decimal point moved into the exponent; the significand is exact whenever
// it is at most 2^53 (digits are only dropped once it passes 2^64).
// `exponent` is only needed approximately beyond that (to tell overflow from
// underflow). Returns false when the rounded value is infinite; a value
// below the smallest subnormal becomes zero with the literal's sign.
bool decimal_to_double(const char* first, const char* last, std::uint64_t significand,
                       std::int64_t exponent, bool negative, double& out);

namespace fast {

// Powers of ten that doubles hold exactly.
inline constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// When both the significand and the power of ten are exact doubles, one
// IEEE multiplication or division rounds once, so the result is already the
// correctly rounded value (Clinger's fast path).
inline bool try_exact(std::uint64_t significand, std::int64_t exponent, bool negative,
                      double& out) {
    if (significand > (std::uint64_t{1} << 53) || exponent < -22 || exponent > 22) return false;
    double f = static_cast<double>(significand);
    f = exponent >= 0 ? f * kExactPowers[exponent] : f / kExactPowers[-exponent];
    out = negative ? -f : f;
    return true;
}

// Lemire's way for the significands that miss the exact path (most often
// the 17 digits of a double's shortest form): the significand, shifted to
// its top bit, times a 128-bit power of five gives the double's bits with
// one rounding. For |exponent| <= 27 the powers need no further precision
// (5^27 < 2^64), so this range never needs the slow way; the rest of the
// range is rare in data and goes there.
inline constexpr int kLemireLow = -27;
inline constexpr int kLemireHigh = 27;

struct Wide {
    std::uint64_t hi, lo;
};

// 5^q with its top bit at bit 127, truncated; for q < 0 the reciprocal
// 2^b / 5^-q with its top bit there, plus one so that the product never
// falls short.
constexpr Wide power_of_five(int q) {
    using U128 = unsigned __int128;
    if (q >= 0) {
        U128 p = 1;
        for (int i = 0; i < q; ++i) p *= 5;
        while (!(p >> 127)) p <<= 1;
        return {static_cast<std::uint64_t>(p >> 64), static_cast<std::uint64_t>(p)};
    }
    std::uint64_t d = 1;
    for (int i = 0; i < -q; ++i) d *= 5;
    int z = 0;
    while ((U128{1} << z) < d) ++z;
    // floor(2^(z + 127) / d), by long division over three 64-bit limbs.
    const int b = z + 127;
    std::uint64_t limbs[3] = {0, 0, 0};  // most significant first
    limbs[2 - b / 64] = std::uint64_t{1} << (b % 64);
    std::uint64_t quotient[3] = {0, 0, 0};
    U128 rest = 0;
    for (int i = 0; i < 3; ++i) {
        U128 cur = (rest << 64) | limbs[i];
        quotient[i] = static_cast<std::uint64_t>(cur / d);
        rest = cur % d;
    }
    U128 c = (U128{quotient[1]} << 64) | quotient[2];
    c += 1;
    return {static_cast<std::uint64_t>(c >> 64), static_cast<std::uint64_t>(c)};
}

struct PowersOfFive {
    Wide v[kLemireHigh - kLemireLow + 1];
};
inline constexpr PowersOfFive kPowersOfFive = [] {
    PowersOfFive t{};
    for (int q = kLemireLow; q <= kLemireHigh; ++q) t.v[q - kLemireLow] = power_of_five(q);
    return t;
}();

inline bool try_lemire(std::uint64_t significand, std::int64_t exponent, bool negative, double& out) {
    using U128 = unsigned __int128;
    if (significand == 0 || exponent < kLemireLow || exponent > kLemireHigh) return false;
    const int q = static_cast<int>(exponent);
    const Wide power = kPowersOfFive.v[q - kLemireLow];
    const int lz = __builtin_clzll(significand);
    const std::uint64_t w = significand << lz;
    U128 first = static_cast<U128>(w) * power.hi;
    std::uint64_t hi = static_cast<std::uint64_t>(first >> 64);
    std::uint64_t lo = static_cast<std::uint64_t>(first);
    // The bits below the 55 kept are all ones: the power's low half may
    // still carry into them.
    if ((hi & 0x1FF) == 0x1FF) {
        const std::uint64_t carry = static_cast<std::uint64_t>((static_cast<U128>(w) * power.lo) >> 64);
        lo += carry;
        if (lo < carry) ++hi;
    }
    const int upper = static_cast<int>(hi >> 63);
    const int shift = upper + 9;
    std::uint64_t mantissa = hi >> shift;
    // floor(q * log2(10)) + 63, the exponent of the product's top bit.
    std::int64_t power2 = ((217706 * q) >> 16) + 63 + upper - lz + 1023;
    // Exactly halfway between two doubles, which only a power of five that
    // fits in 64 bits can make: ties go to even, so no rounding up.
    if (lo <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 && (mantissa << shift) == hi) mantissa &= ~std::uint64_t{1};
    mantissa += mantissa & 1;
    mantissa >>= 1;
    if (mantissa >= (std::uint64_t{2} << 52)) {
        mantissa = std::uint64_t{1} << 52;
        ++power2;
    }
    mantissa &= ~(std::uint64_t{1} << 52);
    // Not reached in this range; the slow way knows subnormals and infinity.
    if (power2 <= 0 || power2 >= 0x7FF) return false;
    const std::uint64_t bits =
        mantissa | (static_cast<std::uint64_t>(power2) << 52) | (static_cast<std::uint64_t>(negative) << 63);
    std::memcpy(&out, &bits, sizeof out);
    return true;
}

}  // namespace fast

// Whether the fast ways alone convert the literal: its significand holds
// all of its digits and its exponent is in Lemire's range. Such a literal
// is known by the three values alone, and never rounds to infinity.
inline bool converts_fast(std::int64_t exponent, bool exact) {
    return exact && exponent >= fast::kLemireLow && exponent <= fast::kLemireHigh;
}

// The conversion of a literal for which converts_fast holds.
inline double fast_decimal_to_double(std::uint64_t significand, std::int64_t exponent, bool negative) {
    double out;
    if (fast::try_exact(significand, exponent, negative, out) || fast::try_lemire(significand, exponent, negative, out))
        return out;
    return negative ? -0.0 : 0.0;  // a zero significand: try_lemire leaves it
}

// `exact` tells whether `significand` holds every digit of the literal.
inline bool decimal_to_double_fast(const char* first, const char* last, std::uint64_t significand,
                                   std::int64_t exponent, bool negative, bool exact, double& out) {
    if (exact && (fast::try_exact(significand, exponent, negative, out) ||
                  fast::try_lemire(significand, exponent, negative, out)))
        return true;
    return decimal_to_double(first, last, significand, exponent, negative, out);
}

}  // namespace qvtok::json::detail
