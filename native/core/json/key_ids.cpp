#include "core/json/key_ids.hpp"

#include <new>

namespace qvtok::json {

// Tables start small: most documents have a few dozen distinct keys.
constexpr std::size_t kFirstSlots = 256;

inline bool KeyIds::holds(const Slot& slot, KeyWords w, std::string_view bytes) {
    const std::size_t n = bytes.size();
    return slot.id != kNone && slot.length == n && slot.words == w &&
           (n <= kToldByWords || same_bytes(slot.bytes, bytes.data(), n));
}

std::uint32_t KeyIds::id(std::string_view bytes) {
    const std::size_t n = bytes.size();
    if (n > kMaxKeyBytes) return kNone;
    if (2 * (std::size_t{count_} + 1) > mask_ + 1 && !full_) [[unlikely]]
        grow();
    if (!slots_) [[unlikely]]
        return kNone;
    const KeyWords w = words_of(bytes);
    // Objects of one kind repeat their keys in one order: the key that
    // followed the last one last time is tried first, without hashing.
    std::size_t at = slots_[last_].next;
    if (!holds(slots_[at], w, bytes)) [[unlikely]] {
        std::size_t probe = 0;
        for (at = key_hash(w, n) >> 32;; ++at) {
            if (probe++ == kMaxProbes) [[unlikely]] {
                probes_ += kMaxProbes;
                return kNone;
            }
            at &= mask_;
            Slot& slot = slots_[at];
            if (slot.id == kNone) {
                if (full_) return kNone;
                slot = Slot{w, bytes.data(), static_cast<std::uint32_t>(n), count_++, 0};
                break;
            }
            if (holds(slot, w, bytes)) break;
        }
        probes_ += probe;
        slots_[last_].next = static_cast<std::uint32_t>(at);
    }
    last_ = at;
    // Fetched while the key's value is read.
    __builtin_prefetch(&slots_[slots_[at].next]);
    return slots_[at].id;
}

void KeyIds::grow() {
    if (count_ == kMaxIds) {
        full_ = true;
        return;
    }
    const std::size_t size = slots_ ? 2 * (mask_ + 1) : kFirstSlots;
    std::unique_ptr<Slot[]> slots(new (std::nothrow) Slot[size]);
    if (!slots) {
        // Without room new keys go unnumbered, which only costs speed.
        full_ = true;
        return;
    }
    for (std::size_t i = 0; i < size; ++i) slots[i] = Slot{{0, 0}, nullptr, 0, kNone, 0};
    for (std::size_t i = 0; slots_ && i <= mask_; ++i) {
        Slot old = slots_[i];
        if (old.id == kNone) continue;
        std::size_t at = key_hash(old.words, old.length) >> 32;
        std::size_t probe = 0;
        while (slots[at & (size - 1)].id != kNone && ++probe < kMaxProbes) ++at;
        // A key that lands too far to be found again is let go: met again,
        // it takes the next id, which the side that builds keys takes as a
        // key it has not seen.
        if (probe == kMaxProbes) continue;
        old.next = 0;  // slots moved: the guesses are learnt again
        slots[at & (size - 1)] = old;
    }
    slots_ = std::move(slots);
    mask_ = size - 1;
    last_ = 0;
}

}  // namespace qvtok::json
