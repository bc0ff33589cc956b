#include "python/gil.hpp"

#include "python/compat.hpp"

namespace qvtok {
namespace {

// Set while a GilRelease scope has let the GIL go on this thread: reads
// then have nothing to release, and signal handlers run with the GIL taken
// back for the moment.
thread_local PyThreadState* released_state = nullptr;

int poll_signals() {
    if (released_state == nullptr) return PyErr_CheckSignals();
    PyEval_RestoreThread(released_state);
    int raised = PyErr_CheckSignals();
    released_state = PyEval_SaveThread();
    return raised;
}
void* release_gil() { return released_state != nullptr ? nullptr : PyEval_SaveThread(); }
void reacquire_gil(void* state) {
    if (state != nullptr) PyEval_RestoreThread(static_cast<PyThreadState*>(state));
}

}  // namespace

GilRelease::GilRelease(bool release) : allowed_(release) { this->release(); }

GilRelease::~GilRelease() { hold(); }

void GilRelease::hold() {
    if (!mine_) return;
    PyEval_RestoreThread(released_state);
    released_state = nullptr;
    mine_ = false;
}

void GilRelease::release() {
    if (!allowed_ || mine_ || released_state != nullptr) return;
    released_state = PyEval_SaveThread();
    mine_ = true;
}

InterpreterHooks interpreter_hooks() { return {poll_signals, release_gil, reacquire_gil}; }

}  // namespace qvtok
