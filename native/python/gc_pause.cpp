#include "python/gc_pause.hpp"

#include "python/py_ref.hpp"

namespace qvtok {
namespace {

// The permanent generation's sizes that freezing and unfreezing may change:
// the interpreter's own, and what the last hand-over left (none). Any other
// size means that the program froze objects, which unfreezing would undo.
// The interpreter's own is not only there at start: 3.12 freezes a few
// hundred objects at start and again later (importing pandas does it),
// after a hand-over has thawed them.
long g_frozen_at_start = -1;
long g_frozen = -1;

long call_long(PyObject* gc, const char* name) {
    PyRef r(PyObject_CallMethod(gc, name, nullptr));
    if (!r) return -1;
    return PyLong_AsLong(r.get());
}

// The first number of the tuple a gc function returns.
long first_of(PyObject* gc, const char* name) {
    PyRef counts(PyObject_CallMethod(gc, name, nullptr));
    if (!counts || !PyTuple_Check(counts.get()) || PyTuple_GET_SIZE(counts.get()) < 1) return -1;
    return PyLong_AsLong(PyTuple_GET_ITEM(counts.get(), 0));
}

void hand_to_oldest_generation() {
    PyRef gc(PyImport_ImportModule("gc"));
    if (!gc) return;
    // Past the young generation's threshold the next allocation would
    // collect: that young collection moves the call's objects on to the
    // middle generation, whose collections and then the full ones walk
    // them again, each time over everything the program has kept.
    const long threshold = first_of(gc.get(), "get_threshold");
    if (threshold <= 0 || first_of(gc.get(), "get_count") < threshold) return;
    const long held = call_long(gc.get(), "get_freeze_count");
    if (g_frozen < 0 || (held != g_frozen && held != g_frozen_at_start)) return;
    PyRef frozen(PyObject_CallMethod(gc.get(), "freeze", nullptr));
    if (!frozen) return;
    PyRef thawed(PyObject_CallMethod(gc.get(), "unfreeze", nullptr));
    if (thawed) g_frozen = 0;
}

}  // namespace

void GcPause::note_frozen_at_start() {
    if (g_frozen >= 0) return;
    PyRef gc(PyImport_ImportModule("gc"));
    if (gc) g_frozen = g_frozen_at_start = call_long(gc.get(), "get_freeze_count");
    if (g_frozen < 0) PyErr_Clear();
}

GcPause::~GcPause() {
    // Left off by the caller: the counters are theirs to deal with.
    if (!was_enabled_) return;
    // Handed over before the collector is back on: asking the gc module
    // allocates, which would start the very collection this avoids.
    PyObject* pending = compat::take_raised_exception();
    hand_to_oldest_generation();
    PyErr_Clear();
    // An error on its way out of the call stays as it is.
    if (pending != nullptr) compat::restore_raised_exception(pending);
    PyGC_Enable();
}

}  // namespace qvtok
