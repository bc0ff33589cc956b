#include "python/keys.hpp"

#include <cstring>

#include "python/to_python.hpp"

namespace qvtok::json {
namespace {

inline std::uint64_t load64(const char* p) {
    std::uint64_t x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

// The slot of a key: its first and last eight bytes (or all of a shorter
// one) and its length, mixed. Cheap, and keys that share a long prefix
// ("user_id", "user_name") still differ in their last bytes.
inline std::size_t slot_of(std::string_view b) {
    std::uint64_t h;
    std::size_t n = b.size();
    if (n >= 8) {
        h = load64(b.data()) ^ (load64(b.data() + n - 8) * 0x9E3779B97F4A7C15ull);
    } else {
        h = 0;
        std::memcpy(&h, b.data(), n);
    }
    h ^= n * 0xC2B2AE3D27D4EB4Full;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
    return static_cast<std::size_t>((h * 0x9E3779B97F4A7C15ull) >> 53) & (KeyCache::kSlots - 1);
}

static_assert((KeyCache::kSlots & (KeyCache::kSlots - 1)) == 0, "slot count is a power of two");

}  // namespace

PyObject* KeyCache::get(std::string_view bytes, bool ascii) {
    if (bytes.size() > kMaxKeyBytes) [[unlikely]]
        return new_str(bytes, ascii);
    if (!slots_) [[unlikely]] {
        slots_.reset(new (std::nothrow) Slot[kSlots]());
        if (!slots_) return new_str(bytes, ascii);
    }
    Slot& slot = slots_[slot_of(bytes)];
    if (slot.str != nullptr && slot.length == bytes.size() &&
        std::memcmp(slot.bytes, bytes.data(), bytes.size()) == 0) [[likely]] {
        Py_INCREF(slot.str);
        return slot.str;
    }
    return fill(slot, bytes, ascii);
}

PyObject* KeyCache::fill(Slot& slot, std::string_view bytes, bool ascii) {
    PyObject* str = new_str(bytes, ascii);
    if (str == nullptr) return nullptr;
    // A str keeps its hash once computed: every dict that takes this key
    // from now on finds it ready.
    if (PyObject_Hash(str) == -1) {
        Py_DECREF(str);
        return nullptr;
    }
    PyObject* previous = slot.str;  // the key that held the slot before
    Py_INCREF(str);
    slot.str = str;
    slot.length = static_cast<std::uint32_t>(bytes.size());
    std::memcpy(slot.bytes, bytes.data(), bytes.size());
    Py_XDECREF(previous);
    return str;
}

void KeyCache::clear() {
    if (!slots_) return;
    for (std::size_t i = 0; i < kSlots; ++i) Py_CLEAR(slots_[i].str);
}

}  // namespace qvtok::json
