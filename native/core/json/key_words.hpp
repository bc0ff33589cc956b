// A short key told by its length and two words read from it: what the
// tables that look keys up compare and hash, so that a probe seldom reads
// the key's bytes at all.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace qvtok::json {

struct KeyWords {
    std::uint64_t lo, hi;
    bool operator==(const KeyWords&) const = default;
};

// Keys longer than this are compared byte for byte past their words.
inline constexpr std::size_t kToldByWords = 16;

inline std::uint64_t load64(const char* p) {
    std::uint64_t x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

inline std::uint32_t load32(const char* p) {
    std::uint32_t x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

// Overlapping reads that never pass either end: for up to 16 bytes every
// byte is in one of the words, so two keys of one length with the same
// words are the same key.
inline KeyWords words_of(std::string_view b) {
    const char* p = b.data();
    std::size_t n = b.size();
    if (n >= 8) return {load64(p), load64(p + n - 8)};
    if (n >= 4) return {load32(p) | (std::uint64_t{load32(p + n - 4)} << 32), 0};
    if (n == 0) return {0, 0};
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return {u[0] | (std::uint64_t{u[n >> 1]} << 8) | (std::uint64_t{u[n - 1]} << 16), 0};
}

// A key's hash: its words and length, mixed, best in its top bits. Keys
// that share a long prefix ("user_id", "user_name") still differ in their
// last bytes.
inline std::uint64_t key_hash(KeyWords w, std::size_t n) {
    std::uint64_t h = (w.lo ^ (w.hi * 0xC2B2AE3D27D4EB4Full) ^ n) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    return h * 0xFF51AFD7ED558CCDull;
}

// Equality of two n-byte runs with loads that never pass either end: keys
// are short, and a call to memcmp costs more than the comparison.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8)
            if (load64(a + i) != load64(b + i)) return false;
        return load64(a + n - 8) == load64(b + n - 8);
    }
    if (n >= 4) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

}  // namespace qvtok::json
