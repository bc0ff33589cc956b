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

// Powers of ten that x87 extended precision (64-bit mantissa) holds exactly:
// 10^27 = 2^27 * 5^27 and 5^27 < 2^64.
inline constexpr long double kExactExtendedPowers[] = {
    1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,  1e8L,  1e9L,
    1e10L, 1e11L, 1e12L, 1e13L, 1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L,
    1e20L, 1e21L, 1e22L, 1e23L, 1e24L, 1e25L, 1e26L, 1e27L};

// Seventeen-digit literals (the shortest form of most doubles) miss the
// exact path. A 64-bit significand is exact in extended precision, so one
// extended operation rounds once; rounding that to a double is correct
// unless the extended result lies at or next to the midpoint between two
// doubles, where the second rounding could go the wrong way. Those rare
// cases, and platforms without 80-bit long double, go the slow way.
inline bool try_extended(std::uint64_t significand, std::int64_t exponent, bool negative,
                         double& out) {
    if constexpr (std::numeric_limits<long double>::digits != 64) {
        return false;
    } else {
        if (exponent < -27 || exponent > 27) return false;
        long double x = static_cast<long double>(significand);
        x = exponent >= 0 ? x * kExactExtendedPowers[exponent] : x / kExactExtendedPowers[-exponent];
        std::uint64_t mantissa;
        std::memcpy(&mantissa, &x, sizeof mantissa);  // the explicit 64-bit mantissa
        std::uint64_t low = mantissa & 0x7FF;          // the bits a double drops
        if (low >= 0x3FF && low <= 0x401) return false;
        double f = static_cast<double>(x);
        out = negative ? -f : f;
        return true;
    }
}

}  // namespace fast

// `exact` tells whether `significand` holds every digit of the literal.
inline bool decimal_to_double_fast(const char* first, const char* last, std::uint64_t significand,
                                   std::int64_t exponent, bool negative, bool exact, double& out) {
    if (exact && (fast::try_exact(significand, exponent, negative, out) ||
                  fast::try_extended(significand, exponent, negative, out)))
        return true;
    return decimal_to_double(first, last, significand, exponent, negative, out);
}

}  // namespace qvtok::json::detail
