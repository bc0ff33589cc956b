// Whether a thread that was ready to work found a core to work on. On a
// busy machine a second thread waits its turn behind other processes, and
// work handed to it comes back later than the caller would have finished
// it alone: such hand-overs are not worth making for a while.
#pragma once

#include <chrono>
#include <cstdint>

namespace qvtok::threads {

// Kept by the thread that does the work: the time that passed, less the
// time it ran and the time it chose to wait, is the time it was kept from
// a core.
class CoreWatch {
public:
    CoreWatch();
    // The thread waited for its partner for `d` of its own accord.
    void waited(std::chrono::nanoseconds d) { waited_ += d; }
    // Ends the watch and tells the process's record of hand-overs; true
    // when the thread was kept from a core.
    bool report();
    // For a thread that works on and on: once `window` has passed since
    // the watch began, reports as report() does and begins afresh; false
    // before. A window of some milliseconds looks past the odd moment that
    // another thread of the system takes.
    bool report_every(std::chrono::milliseconds window);

private:
    std::chrono::steady_clock::time_point start_;
    std::chrono::nanoseconds cpu_start_;
    std::chrono::nanoseconds waited_{0};
};

// A thread that work was handed to did not begin it in time, or one side
// of a hand-over was kept from its core: hand-overs back off.
void kept_from_core();

// Whether work may be handed to a second thread now: not while hand-overs
// have lately found no core free, in a back-off that doubles while they go
// on finding none. The first hand-over after a back-off tries again.
bool second_core_free();

// The time the calling thread has run.
std::chrono::nanoseconds thread_cpu_time();

}  // namespace qvtok::threads
