#include "core/json/number.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace qvtok::json::detail {

bool decimal_to_double(const char* first, const char* last, std::uint64_t significand,
                       std::int64_t exponent, bool negative, double& out) {
    if (significand == 0) {
        out = negative ? -0.0 : 0.0;
        return true;
    }
    // libstdc++'s from_chars rounds correctly for any number of digits. It
    // accepts the leading minus itself, and JSON's number grammar is a subset
    // of what it parses.
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
    (void)ptr;
    if (ec == std::errc()) {
        if (std::isinf(value)) return false;
        out = value;
        return true;
    }
    // result_out_of_range leaves `value` alone and does not say in which
    // direction. The significand is at least 1 and has at most 20 digits, so
    // the literal lies within [10^exponent, 10^(exponent + 20)): an overflow
    // needs an exponent near 288 or above, an underflow one near -324 or
    // below, and the sign of the exponent tells them apart.
    if (exponent > 0) return false;
    out = negative ? -0.0 : 0.0;
    return true;
}

}  // namespace qvtok::json::detail
