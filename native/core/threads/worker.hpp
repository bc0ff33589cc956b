// A thread owned by the object or call that needs it: started by its
// owner, joined by its owner, and whatever its body throws is handed to the
// owner instead of ending the process. Every thread qvtok runs is one.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <mutex>

#include <cstdint>
#include <exception>
#include <functional>
#include <utility>

#include "core/hooks.hpp"

namespace qvtok::threads {

// How many times this process came out of fork() as the child. A thread
// started before a fork is not in the child: its owner must neither wait
// for it nor touch what it shares with it (a mutex it held stays held, a
// condition variable it waited on cannot be destroyed).
std::uint64_t forks();

class Worker {
public:
    Worker() = default;
    ~Worker() { join(); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Runs `body` on a new thread called `name` (at most 15 characters).
    // False, with nothing started, when no thread or memory could be had.
    // One body at a time: the last must have been joined.
    bool start(const char* name, std::function<void()> body) noexcept;
    // Waits until the body has returned, the interpreter let go meanwhile;
    // at once when none runs. In a child of fork, forgets the thread.
    void join(const InterpreterHooks& hooks = {}) noexcept;
    // After join: what the body threw, if anything, taken.
    std::exception_ptr take_thrown() noexcept { return std::exchange(thrown_, nullptr); }
    // Lets the thread end without being waited for, its stack let go as it
    // ends: for a thread that decides for itself to end, whom nobody would
    // join until its owner next needs one, or never. What it throws is
    // lost. May be called by the body itself, once start() has returned.
    void detach() noexcept;

    bool running() const { return state_ != nullptr; }
    // The thread was started before this process was forked from the one
    // that started it: it does not run here, and never will.
    bool orphaned() const { return state_ != nullptr && forks_ != forks(); }

private:
    struct State;
    State* state_ = nullptr;  // while a thread runs: what it shares with the owner
    pthread_t thread_{};
    std::uint64_t forks_ = 0;
    std::exception_ptr thrown_;
};

// Kept by a worker's body: when it goes, however the body ends, `ended`
// is set under `mutex` and `cv` woken, so that an owner waiting on `cv`
// hears that the thread has returned.
class EndNotice {
public:
    EndNotice(std::mutex& mutex, bool& ended, std::condition_variable& cv) : mutex_(mutex), ended_(ended), cv_(cv) {}
    ~EndNotice() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ended_ = true;
        }
        cv_.notify_one();
    }
    EndNotice(const EndNotice&) = delete;
    EndNotice& operator=(const EndNotice&) = delete;

private:
    std::mutex& mutex_;
    bool& ended_;
    std::condition_variable& cv_;
};

// The C++ runtime makes a thread's exception state when the thread first
// throws; were that first throw a bad_alloc with memory exhausted, the
// runtime would end the process instead (glibc cannot allocate the
// thread's share of the library's thread-local storage). This throws and
// catches one exception while memory is still there. Every worker does it
// first, in room held for it since it was started; the interpreter's
// threads do it when they first call in.
void prime_exceptions() noexcept;

}  // namespace qvtok::threads
