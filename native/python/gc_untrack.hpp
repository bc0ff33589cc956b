// The cyclic collector walks every container it tracks, at every
// collection of the container's generation, for as long as it lives. A
// list that holds no container can be part of no cycle: CPython leaves
// such dicts untracked by itself, and a list built here is left untracked
// the same way, as other fast decoders leave theirs. A program that later
// makes such a list part of a cycle (by appending it to itself, say) makes
// garbage that only reference counting, not the collector, can free.
#pragma once

#include <cstddef>

#include "python/compat.hpp"

namespace qvtok {

// `list` holds the `count` objects at `items`: untracked when none of them
// is a container. The list must be tracked (as PyList_New makes it).
inline void untrack_if_atomic(PyObject* list, PyObject* const* items, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (PyObject_IS_GC(items[i])) return;
    PyObject_GC_UnTrack(list);
}

}  // namespace qvtok
