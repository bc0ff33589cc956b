// The GIL and signal handlers around the core's work: how its reads reach
// the interpreter, and scopes that let the GIL go. Every area of the
// extension (bigjson, qvtok.open, value building) uses these.
#pragma once

#include "core/hooks.hpp"

namespace qvtok {

// How the core's file reads reach the interpreter: signal handlers run
// between reads, and the GIL is let go while a read system call waits, so
// that a pipe with no writer or a slow disk stops only the calling thread.
InterpreterHooks interpreter_hooks();

// Lets the GIL go for work that touches no Python object (scanning, parsing
// without converting), so that other Python threads run meanwhile; the
// reads of interpreter_hooks() then leave it alone, and their signal checks
// take it back for the moment. hold() takes it back before Python is
// touched again, release() lets it go once more; the end of the scope takes
// it back. A scope made with `release` false keeps the GIL throughout.
class GilRelease {
public:
    explicit GilRelease(bool release = true);
    ~GilRelease();
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    void hold();
    void release();

private:
    bool allowed_;  // false: a scope that never lets go (the reads need Python)
    bool mine_ = false;
};

}  // namespace qvtok
