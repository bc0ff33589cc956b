#include "core/json/utf8.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

#include "core/simd/kernels.hpp"

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

}  // namespace

std::size_t utf8_prefix_bytewise(const unsigned char* s, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        std::size_t maximal = 0;
        std::size_t len = check_sequence(s + i, n - i, maximal);
        if (len == 0) return i;
        i += len;
    }
    return n;
}

bool is_valid_utf8(const char* data, std::size_t size) { return simd::valid_utf8_prefix(data, size) == size; }

bool repair_utf8(std::string& text) {
    const std::size_t n = text.size();
    std::size_t ok = simd::valid_utf8_prefix(text.data(), n);
    if (ok == n) return false;
    const u8* s = reinterpret_cast<const u8*>(text.data());
    std::string out;
    out.reserve(n + n / 8 + 3);
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::size_t i = 0;
    for (;;) {
        out.append(text, i, ok - i);
        i = ok;
        if (i == n) break;
        // One U+FFFD per maximal ill-formed subpart; the byte that ended it
        // starts the next attempt.
        std::size_t maximal = 1;
        check_sequence(s + i, n - i, maximal);
        out.append(kReplacement, 3);
        i += maximal;
        ok = i + simd::valid_utf8_prefix(text.data() + i, n - i);
    }
    text = std::move(out);
    return true;
}

}  // namespace qvtok::json
