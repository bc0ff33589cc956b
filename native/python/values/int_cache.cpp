#include "python/values/int_cache.hpp"

#include <new>

namespace qvtok::values {

PyObject* IntCache::fill(Slot& slot, std::int64_t v) {
    PyObject* obj = PyLong_FromLongLong(v);
    if (obj == nullptr) return nullptr;
    Py_INCREF(obj);
    PyObject* old = slot.obj;
    slot = Slot{v, obj};
    Py_XDECREF(old);
    return obj;
}

PyObject* IntCache::make_slots(std::int64_t v) {
    slots_.reset(new (std::nothrow) Slot[kSlots]());
    // Without a table every int is made afresh, which only costs speed.
    if (!slots_) return PyLong_FromLongLong(v);
    return get(v);
}

void IntCache::clear() {
    if (!slots_) return;
    for (std::size_t i = 0; i < kSlots; ++i) Py_CLEAR(slots_[i].obj);
}

}  // namespace qvtok::values
