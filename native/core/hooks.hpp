// How work in the core reaches the interpreter that called it, without
// knowing that there is one.
#pragma once

namespace qvtok {

// Any member may be null.
struct InterpreterHooks {
    // Runs pending signal handlers; nonzero when one of them raised, which
    // ends the operation with that exception. PyErr_CheckSignals has this
    // shape.
    int (*poll)() = nullptr;
    // Called around each call that may block (open, read, a wait for
    // another thread): `release` lets other threads run meanwhile,
    // `reacquire` takes back what it returned. Between the two, the core
    // touches nothing of the interpreter's.
    void* (*release)() = nullptr;
    void (*reacquire)(void*) = nullptr;

    // Runs `wait` with the interpreter let go.
    template <class Wait>
    auto released(Wait&& wait) const {
        void* token = release != nullptr ? release() : nullptr;
        struct Back {
            const InterpreterHooks& hooks;
            void* token;
            ~Back() {
                if (hooks.reacquire != nullptr) hooks.reacquire(token);
            }
        } back{*this, token};
        return wait();
    }
};

}  // namespace qvtok
