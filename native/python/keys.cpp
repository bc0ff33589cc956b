#include "python/keys.hpp"

#include <bit>
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
static_assert(std::has_single_bit(KeyCache::kSlots), "slot count is a power of two");
constexpr int kSlotBits = std::countr_zero(KeyCache::kSlots);

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
    return static_cast<std::size_t>((h * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
}

inline std::uint32_t load32(const char* p) {
    std::uint32_t x;
    std::memcpy(&x, p, sizeof x);
    return x;
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

}  // namespace

PyObject* KeyCache::get(std::string_view bytes, bool ascii) {
    if (bytes.size() > kMaxKeyBytes) [[unlikely]]
        return new_str(bytes, ascii);
    if (!slots_) [[unlikely]] {
        slots_.reset(new (std::nothrow) Slot[kSlots]());
        if (!slots_) return new_str(bytes, ascii);
    }
    Slot& slot = slots_[slot_of(bytes)];
    if (slot.length == bytes.size() && slot.str != nullptr &&
        same_bytes(slot.utf8, bytes.data(), bytes.size())) [[likely]] {
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
    // An ASCII str is its own UTF-8; any other keeps a UTF-8 copy inside
    // once asked for it.
    const char* utf8 = ascii ? static_cast<const char*>(PyUnicode_DATA(str))
                             : PyUnicode_AsUTF8AndSize(str, nullptr);
    if (utf8 == nullptr) {
        Py_DECREF(str);
        return nullptr;
    }
    PyObject* previous = slot.str;  // the key that held the slot before
    Py_INCREF(str);
    slot.str = str;
    slot.utf8 = utf8;
    slot.length = bytes.size();
    Py_XDECREF(previous);
    return str;
}

void KeyCache::clear() {
    if (!slots_) return;
    for (std::size_t i = 0; i < kSlots; ++i) Py_CLEAR(slots_[i].str);
}

}  // namespace qvtok::json
