// A short look at something another thread is about to change, before
// sleeping until it does: a sleep and its wake cost system calls on both
// sides and tens of microseconds on a virtual machine, so a change that is
// a few microseconds away is better watched for. Never long: a thread that
// watches burns its core.
#pragma once

#include <chrono>

namespace qvtok::threads {

// Looks at `done()` until it is true or `for_how_long` has passed; true
// when it became true.
template <class Done>
bool watch(Done&& done, std::chrono::microseconds for_how_long) {
    const auto until = std::chrono::steady_clock::now() + for_how_long;
    for (unsigned spin = 1;; ++spin) {
        if (done()) return true;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        if (spin % 32 == 0 && std::chrono::steady_clock::now() > until) return false;
    }
}

}  // namespace qvtok::threads
