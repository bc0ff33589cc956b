// Ints shared between the values of a conversion: the same number met again
// is handed the int made for it before. Files repeat their numbers (ids
// that point at each other, codes, categories), and an int that is not made
// is neither allocated nor, later, freed. Ints are immutable, so a shared
// one is the same value to every holder.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>

#include "python/compat.hpp"

namespace qvtok::values {

// Direct-mapped: a number's slot holds the int made for it last, and a
// number that meets another in its slot takes the slot over. Holds strong
// references; GIL held to use, clear or destroy it.
class IntCache {
public:
    static constexpr std::size_t kSlots = 1024;

    IntCache() = default;
    ~IntCache() { clear(); }
    IntCache(const IntCache&) = delete;
    IntCache& operator=(const IntCache&) = delete;

    // A new reference to an int of `v`, or NULL with an exception set.
    PyObject* get(std::int64_t v) {
        // CPython keeps its own small ints.
        if (v >= -5 && v <= 256) return PyLong_FromLongLong(v);
        if (!slots_) [[unlikely]]
            return make_slots(v);
        Slot& slot = slots_[static_cast<std::size_t>((static_cast<std::uint64_t>(v) * 0x9E3779B97F4A7C15ull) >> 54)];
        if (slot.value == v && slot.obj != nullptr) {
            Py_INCREF(slot.obj);
            return slot.obj;
        }
        return fill(slot, v);
    }

    // The same for a number read as unsigned, which past 2^63 - 1 is
    // made afresh.
    PyObject* get_unsigned(std::uint64_t v) {
        if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) [[unlikely]]
            return PyLong_FromUnsignedLongLong(v);
        return get(static_cast<std::int64_t>(v));
    }

    void clear();

private:
    static_assert(kSlots == std::size_t{1} << 10, "the slot is the hash's top ten bits");
    struct Slot {
        std::int64_t value;
        PyObject* obj;  // owned, or NULL while empty
    };
    PyObject* fill(Slot& slot, std::int64_t v);
    PyObject* make_slots(std::int64_t v);

    std::unique_ptr<Slot[]> slots_;  // made at the first number
};

}  // namespace qvtok::values
