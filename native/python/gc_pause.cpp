#include "python/gc_pause.hpp"

#include "python/py_ref.hpp"

namespace qvtok {
namespace {

// New objects since the last collection above which they are handed on:
// below it the next young collection is cheap anyway.
constexpr long kManyObjects = 100000;

// The permanent generation's size that freezing and unfreezing may change:
// the interpreter's own (3.12 freezes a few hundred objects at start), and
// then what the last hand-over left (none). Any other size means that the
// program froze objects, which unfreezing would undo.
long g_frozen = -1;

long call_long(PyObject* gc, const char* name) {
    PyRef r(PyObject_CallMethod(gc, name, nullptr));
    if (!r) return -1;
    return PyLong_AsLong(r.get());
}

long young_count(PyObject* gc) {
    PyRef counts(PyObject_CallMethod(gc, "get_count", nullptr));
    if (!counts || !PyTuple_Check(counts.get()) || PyTuple_GET_SIZE(counts.get()) < 1) return -1;
    return PyLong_AsLong(PyTuple_GET_ITEM(counts.get(), 0));
}

void hand_to_oldest_generation() {
    PyRef gc(PyImport_ImportModule("gc"));
    if (!gc) return;
    if (young_count(gc.get()) < kManyObjects) return;
    if (g_frozen < 0 || call_long(gc.get(), "get_freeze_count") != g_frozen) return;
    PyRef frozen(PyObject_CallMethod(gc.get(), "freeze", nullptr));
    if (!frozen) return;
    PyRef thawed(PyObject_CallMethod(gc.get(), "unfreeze", nullptr));
    if (thawed) g_frozen = 0;
}

}  // namespace

void GcPause::note_frozen_at_start() {
    if (g_frozen >= 0) return;
    PyRef gc(PyImport_ImportModule("gc"));
    if (gc) g_frozen = call_long(gc.get(), "get_freeze_count");
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
