// The cyclic collector walks every container it tracks, at every
// collection of the container's generation, for as long as it lives. A
// value read from JSON is a tree whose leaves are str, int, float, bool and
// None: no container of it can be part of a cycle. Each is left untracked
// as it is finished, when nothing it holds is tracked, as CPython leaves
// such tuples and dicts, so the collector never walks what a load made.
// A dict the program later gives a container is tracked again by CPython;
// a list it later makes part of a cycle (by appending it to itself, say)
// makes garbage that only reference counting, not the collector, can
// free, as with other fast decoders' lists.
#pragma once

#include <cstddef>

#include "python/compat.hpp"

namespace qvtok {

// Whether `obj` is a container the collector tracks: one that may be part
// of a cycle.
inline bool tracked(PyObject* obj) { return PyObject_IS_GC(obj) && PyObject_GC_IsTracked(obj); }

// `container` holds the objects at items[0], items[stride], ... (`count`
// of them): untracked when none of them is tracked.
inline void untrack_if_acyclic(PyObject* container, PyObject* const* items, std::size_t count,
                               std::size_t stride = 1) {
    for (std::size_t i = 0; i < count; ++i)
        if (tracked(items[i * stride])) return;
    if (PyObject_GC_IsTracked(container)) PyObject_GC_UnTrack(container);
}

}  // namespace qvtok
