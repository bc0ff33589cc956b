// Dict keys shared between the objects of a conversion: one str per key
// text, made once and handed to every object (and every record) that has
// that key, as json.load's memo does.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/json/key_words.hpp"
#include "python/compat.hpp"

namespace qvtok::values {

// A four-way set-associative table from key bytes to a str holding them, its hash
// already computed, so that dict insertions never hash the key again.
// Short keys only: long ones are rare as keys and cost more to compare. A
// key of up to 16 bytes is told by its length and two words read from it,
// kept in the slot: a hit reads nothing but the slot.
// Holds strong references; the owner must hold the GIL when it is cleared
// or destroyed. Not shared between interpreters: one per conversion run.
class KeyCache {
public:
    // 512 sets of four 32-byte slots. Only the slots of keys in use are
    // ever read, so the table's size costs no cache; its ways keep the few
    // keys that meet in one set from pushing each other out, which would
    // make their str afresh every time.
    static constexpr std::size_t kSets = 512;
    static constexpr std::size_t kWays = 4;
    static constexpr std::size_t kMaxKeyBytes = 64;

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
        json::KeyWords words;
        PyObject* str;  // owned, or NULL when the slot is empty
        std::uint32_t length;
        // The set of the key that came after this one last time. Keys come
        // in the same order record after record, so that set is fetched
        // while the value between the two keys is read: the set would
        // otherwise often have to come from far off.
        std::uint32_t next_set;
    };
    // A new key goes into the set's first slot and the others move down
    // one: the last one's key is let go.
    PyObject* fill(Slot* set, json::KeyWords words, std::string_view bytes, bool ascii);
    bool holds(const Slot& slot, json::KeyWords words, std::string_view bytes) const;

    struct alignas(64) Set {
        Slot way[kWays];
    };
    std::unique_ptr<Set[]> sets_;  // made at the first cached key
    Slot* last_ = nullptr;         // the slot of the key handed out last
};

}  // namespace qvtok::values
