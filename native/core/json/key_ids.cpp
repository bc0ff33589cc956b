#include "core/json/key_ids.hpp"

#include <new>

namespace qvtok::json {

// Tables start small: most documents have a few dozen distinct keys.
constexpr std::size_t kFirstSlots = 256;

std::uint32_t KeyIds::id(std::string_view bytes) {
    const std::size_t n = bytes.size();
    if (n > kMaxKeyBytes) return kNone;
    if (2 * (std::size_t{count_} + 1) > mask_ + 1 && !full_) [[unlikely]]
        grow();
    if (!slots_) [[unlikely]]
        return kNone;
    const KeyWords w = words_of(bytes);
    for (std::size_t i = key_hash(w, n) >> 32;; ++i) {
        Slot& slot = slots_[i & mask_];
        if (slot.id == kNone) {
            if (full_) return kNone;
            slot = Slot{w, bytes.data(), static_cast<std::uint32_t>(n), count_};
            return count_++;
        }
        if (slot.length == n && slot.words == w && (n <= kToldByWords || same_bytes(slot.bytes, bytes.data(), n)))
            return slot.id;
    }
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
    for (std::size_t i = 0; i < size; ++i) slots[i].id = kNone;
    for (std::size_t i = 0; slots_ && i <= mask_; ++i) {
        const Slot& old = slots_[i];
        if (old.id == kNone) continue;
        std::size_t at = key_hash(old.words, old.length) >> 32;
        while (slots[at & (size - 1)].id != kNone) ++at;
        slots[at & (size - 1)] = old;
    }
    slots_ = std::move(slots);
    mask_ = size - 1;
}

}  // namespace qvtok::json
