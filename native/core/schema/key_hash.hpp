// The hash under which schema inference files the keys of its positions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace qvtok::schema {

// A key of the objects at position `parent`, mixed a word at a time with
// `seed`. The tallies draw their seed afresh, so that no text can hold keys
// chosen ahead to fall on one slot of their table: without it, 20,000 such
// keys took a thousand times as long to fold as ordinary ones.
inline std::uint32_t key_hash(std::uint32_t parent, std::string_view key, std::uint64_t seed) {
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
    std::uint64_t h = (std::uint64_t{parent} << 32 | 0x5bd1e995u) ^ (key.size() * kMul) ^ seed;
    const char* p = key.data();
    std::size_t n = key.size();
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * kMul;
        h ^= h >> 29;
    }
    if (n != 0) {
        std::uint64_t w = 0;
        std::memcpy(&w, p, n);
        h = (h ^ w) * kMul;
        h ^= h >> 29;
    }
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return static_cast<std::uint32_t>(h);
}

}  // namespace qvtok::schema
