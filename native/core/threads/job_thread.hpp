// A job run on a thread beside the caller's. The process keeps one thread
// parked for such jobs, for half a second after the last: waking it costs
// a few microseconds, where starting a thread costs tens (more in a large
// process), which is a good part of reading a document of a few hundred
// KiB. A job that finds the parked thread busy gets a thread of its own.
// Parked, the thread sleeps on a condition variable: it costs nothing
// while no job comes.
#pragma once

#include <exception>

#include "core/threads/worker.hpp"

namespace qvtok::threads {

class JobThread {
public:
    JobThread() = default;
    ~JobThread() { join(); }
    JobThread(const JobThread&) = delete;
    JobThread& operator=(const JobThread&) = delete;

    // Runs job(context) on another thread; false when no thread could be
    // had. One job at a time. What the job throws is kept for take_thrown.
    bool start(void (*job)(void*), void* context);
    // Waits until the job has returned; at once when none runs.
    void join();
    // Takes the job back if the parked thread has not begun it: true when
    // it will not run. False once it has begun, or on a thread of its own.
    bool withdraw();
    // After join: what the job threw, if anything, taken.
    std::exception_ptr take_thrown() { return std::exchange(thrown_, nullptr); }

    // A job is likely to start soon: wakes the parked thread (starting it
    // if it has ended) to watch for it for a moment, so that start() finds
    // it awake. Waking a sleeping thread takes tens of microseconds on a
    // virtual machine, which this overlaps with the caller's work.
    static void wake_early();

    struct Parked;  // the process's parked thread

private:
    Parked* parked_ = nullptr;  // the parked thread runs the job
    Worker own_;                // or this one
    std::exception_ptr thrown_;
};

}  // namespace qvtok::threads
