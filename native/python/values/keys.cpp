#include "python/values/keys.hpp"

#include <bit>

#include "python/values/to_python.hpp"

namespace qvtok::values {

using namespace json;  // the reader's key words and hash, which this file turns into objects

namespace {

static_assert(std::has_single_bit(KeyCache::kSets), "set count is a power of two");
constexpr int kSetBits = std::countr_zero(KeyCache::kSets);

}  // namespace

// The set of a key: the top bits of its hash.
inline std::size_t set_of(KeyWords w, std::size_t n) {
    return static_cast<std::size_t>(key_hash(w, n) >> (64 - kSetBits));
}

inline bool KeyCache::holds(const Slot& slot, KeyWords w, std::string_view bytes) const {
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
    const KeyWords w = words_of(bytes);
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

PyObject* KeyCache::fill(Slot* set, KeyWords words, std::string_view bytes, bool ascii) {
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

}  // namespace qvtok::values
