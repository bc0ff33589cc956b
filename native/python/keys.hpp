// Dict keys shared between the objects of a conversion: one str per key
// text, made once and handed to every object (and every record) that has
// that key, as json.load's memo does.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "python/compat.hpp"

namespace qvtok::json {

// A two-way set-associative table from key bytes to a str holding them, its hash
// already computed, so that dict insertions never hash the key again.
// Short keys only: long ones are rare as keys and cost more to compare. A
// key of up to 16 bytes is told by its length and two words read from it,
// kept in the slot: a hit reads nothing but the slot.
// Holds strong references; the owner must hold the GIL when it is cleared
// or destroyed. Not shared between interpreters: one per conversion run.
class KeyCache {
public:
    // 256 sets of two 32-byte slots, each set one cache line: small enough
    // to stay near the core while a document streams past, and two keys
    // that meet in a set do not keep pushing each other out.
    static constexpr std::size_t kSets = 256;
    static constexpr std::size_t kSlots = 2 * kSets;
    static constexpr std::size_t kMaxKeyBytes = 64;

    // The words that tell a key from another of its length; past 16 bytes
    // the rest is compared too.
    struct Words {
        std::uint64_t lo, hi;
    };

    KeyCache() = default;
    ~KeyCache() { clear(); }
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;

    // A new reference to a str of `bytes` (valid UTF-8, `ascii` when every
    // byte is below 0x80), or NULL with an exception set.
    PyObject* get(std::string_view bytes, bool ascii);

    // Releases every str held. GIL held.
    void clear();

private:
    struct Slot {
        Words words;
        PyObject* str;      // owned, or NULL when the slot is empty
        std::size_t length;
    };
    // The set's first slot holds the key used last: a new key goes there
    // and the one it held moves to the second, whose key is let go.
    PyObject* fill(Slot* set, Words words, std::string_view bytes, bool ascii);
    bool holds(const Slot& slot, Words words, std::string_view bytes) const;

    struct alignas(64) Set {
        Slot way[2];
    };
    std::unique_ptr<Set[]> sets_;  // made at the first cached key
};

}  // namespace qvtok::json
