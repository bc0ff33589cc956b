// The cyclic collector walks every container it tracks, at every
// collection of the container's generation, for as long as it lives. A
// value read from JSON is a tree whose leaves are str, int, float, bool and
// None: no container of it can be part of a cycle. Each list and dict is
// left untracked as it is finished (its members were, before it), as
// CPython leaves such tuples and dicts, so the collector never walks what a
// load made. A dict the program later gives a container is tracked again
// by CPython; a list it later makes part of a cycle (by appending it to
// itself, say) makes garbage that only reference counting, not the
// collector, can free, as with other fast decoders' lists.
#pragma once

#include "python/compat.hpp"

namespace qvtok {

// `container`, a list or dict of a value being built, is finished: it
// holds only atomic values and finished containers.
inline void untrack_finished(PyObject* container) { PyObject_GC_UnTrack(container); }

}  // namespace qvtok
