// Numbers for the keys of one read, given where the text is read: the side
// that builds a key's object then finds it by its number, in an array,
// instead of hashing and comparing the key's bytes again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/json/key_words.hpp"

namespace qvtok::json {

// Ids count up from 0 in the order keys are first met, so the id of a key
// not met before is always the next one. The bytes of every key numbered
// must stay where they are while the table is used.
class KeyIds {
public:
    static constexpr std::uint32_t kNone = ~std::uint32_t{0};
    // Long keys are rare and cost more to compare than to build afresh; a
    // text with ever new keys (ids as keys) stops being numbered at some
    // point rather than growing the table without end.
    static constexpr std::size_t kMaxKeyBytes = 64;
    static constexpr std::uint32_t kMaxIds = std::uint32_t{1} << 16;
    // A key is looked for, and placed, this many slots from where its hash
    // points at the most. The hash is not seeded, and a text can hold keys
    // made to share one slot: without the bound each of them would step
    // past all those before it, and 16,000 such keys took 250 times as
    // long to number as ordinary ones. A table at most half full keeps
    // ordinary keys within a few slots, and very seldom past 30; a key
    // that finds no room this close simply goes unnumbered. A seed would
    // not help: keys can be made to agree before any seed is mixed in.
    static constexpr std::size_t kMaxProbes = 32;

    // The id of the key `bytes`, or kNone for a key that is not numbered.
    std::uint32_t id(std::string_view bytes);
    // Slots looked at by hashing so far: what keys cost beyond the guess.
    std::uint64_t probes() const { return probes_; }

private:
    struct Slot {
        KeyWords words;
        const char* bytes;
        std::uint32_t length;
        std::uint32_t id;    // kNone while the slot is empty
        std::uint32_t next;  // the slot of the key that followed this one last
    };
    static bool holds(const Slot& slot, KeyWords w, std::string_view bytes);
    void grow();

    std::unique_ptr<Slot[]> slots_;
    std::size_t mask_ = 0;  // the slot count less one
    std::size_t last_ = 0;  // the slot of the key numbered last
    std::uint32_t count_ = 0;
    std::uint64_t probes_ = 0;
    bool full_ = false;  // no more keys are numbered; those numbered are still found
};

}  // namespace qvtok::json
