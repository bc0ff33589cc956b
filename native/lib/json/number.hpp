// Decimal literal to double, correctly rounded (nearest, ties to even), the
// same value Python's float() gives for the literal's text.
#pragma once

#include <cstdint>

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

}  // namespace fast

inline bool decimal_to_double_fast(const char* first, const char* last, std::uint64_t significand,
                                   std::int64_t exponent, bool negative, double& out) {
    if (fast::try_exact(significand, exponent, negative, out)) return true;
    return decimal_to_double(first, last, significand, exponent, negative, out);
}

}  // namespace qvtok::json::detail
