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

inline std::uint32_t load32(const char* p) {
    std::uint32_t x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

static_assert(std::has_single_bit(KeyCache::kSets), "set count is a power of two");
constexpr int kSetBits = std::countr_zero(KeyCache::kSets);

// Keys longer than this are compared byte for byte past their words.
constexpr std::size_t kToldByWords = 16;

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

// Overlapping reads that never pass either end: for up to 16 bytes every
// byte is in one of the words, so two keys of one length with the same
// words are the same key.
inline KeyCache::Words words_of(std::string_view b) {
    const char* p = b.data();
    std::size_t n = b.size();
    if (n >= 8) return {load64(p), load64(p + n - 8)};
    if (n >= 4) return {load32(p) | (std::uint64_t{load32(p + n - 4)} << 32), 0};
    if (n == 0) return {0, 0};
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return {u[0] | (std::uint64_t{u[n >> 1]} << 8) | (std::uint64_t{u[n - 1]} << 16), 0};
}

// The set of a key: its words and length, mixed. Keys that share a long
// prefix ("user_id", "user_name") still differ in their last bytes.
inline std::size_t set_of(KeyCache::Words w, std::size_t n) {
    std::uint64_t h = (w.lo ^ (w.hi * 0xC2B2AE3D27D4EB4Full) ^ n) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    return static_cast<std::size_t>((h * 0xFF51AFD7ED558CCDull) >> (64 - kSetBits));
}

inline bool KeyCache::holds(const Slot& slot, Words w, std::string_view bytes) const {
    const std::size_t n = bytes.size();
    if (slot.length != n || slot.words.lo != w.lo || slot.words.hi != w.hi || slot.str == nullptr) return false;
    return n <= kToldByWords || same_bytes(static_cast<const char*>(PyUnicode_DATA(slot.str)), bytes.data(), n);
}

PyObject* KeyCache::get(std::string_view bytes, bool ascii) {
    const std::size_t n = bytes.size();
    // Past its words a key is compared through its str's own bytes, which
    // are the UTF-8 ones only for an ASCII str.
    if (n > kMaxKeyBytes || (n > kToldByWords && !ascii)) [[unlikely]]
        return new_str(bytes, ascii);
    if (!sets_) [[unlikely]] {
        sets_.reset(new (std::nothrow) Set[kSets]());
        if (!sets_) return new_str(bytes, ascii);
    }
    const Words w = words_of(bytes);
    const std::size_t index = set_of(w, n);
    if (last_ != nullptr) last_->next_set = static_cast<std::uint32_t>(index);
    Slot* set = sets_[index].way;
    for (std::size_t i = 0; i < kWays; ++i) {
        if (holds(set[i], w, bytes)) [[likely]] {
            last_ = &set[i];
            __builtin_prefetch(&sets_[set[i].next_set % kSets]);
            Py_INCREF(set[i].str);
            return set[i].str;
        }
    }
    last_ = &set[0];
    return fill(set, w, bytes, ascii);
}

PyObject* KeyCache::fill(Slot* set, Words words, std::string_view bytes, bool ascii) {
    PyObject* str = new_str(bytes, ascii);
    if (str == nullptr) return nullptr;
    // A str keeps its hash once computed: every dict that takes this key
    // from now on finds it ready.
    if (PyObject_Hash(str) == -1) {
        Py_DECREF(str);
        return nullptr;
    }
    PyObject* evicted = set[kWays - 1].str;
    for (std::size_t i = kWays - 1; i > 0; --i) set[i] = set[i - 1];
    Py_INCREF(str);
    set[0] = Slot{words, str, static_cast<std::uint32_t>(bytes.size()), 0};
    Py_XDECREF(evicted);
    return str;
}

void KeyCache::clear() {
    last_ = nullptr;
    if (!sets_) return;
    for (std::size_t i = 0; i < kSets; ++i)
        for (Slot& slot : sets_[i].way) Py_CLEAR(slot.str);
}

}  // namespace qvtok::json
