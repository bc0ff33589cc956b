#include "core/json/job_thread.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>

namespace qvtok::json {

// How long the parked thread waits for a next job before it ends: long
// enough for jobs that come one after another, short enough that a
// program does not keep an idle thread (which os.fork warns about).
constexpr std::chrono::milliseconds kParkedFor(500);

struct JobThread::Parked {
    std::mutex mutex;
    std::condition_variable wake;
    void (*job)(void*) = nullptr;  // under mutex: the job to run next
    void* context = nullptr;
    bool alive = false;                // under mutex: the thread waits for jobs
    std::atomic<bool> claimed{false};  // a JobThread has it, from start to join
    std::atomic<bool> running{false};  // the job handed over has not returned yet

    static Parked* get();

    // Hands a job to the thread, starting it when it has ended; false when
    // no thread can be started. The caller has claimed it.
    bool hand(void (*run)(void*), void* with) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!alive) {
            try {
                std::thread(&Parked::loop, this).detach();
            } catch (const std::system_error&) {
                return false;
            }
            alive = true;
        }
        job = run;
        context = with;
        running.store(true, std::memory_order_relaxed);
        lock.unlock();
        wake.notify_one();
        return true;
    }

    void loop() {
#if defined(__linux__)
        pthread_setname_np(pthread_self(), "qvtok-read");
#endif
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (!wake.wait_for(lock, kParkedFor, [&] { return job != nullptr; })) {
                // A claim not yet handed over brings a job soon.
                if (claimed.load(std::memory_order_acquire)) continue;
                alive = false;
                return;
            }
            void (*run)(void*) = job;
            void* with = context;
            lock.unlock();
            run(with);
            lock.lock();
            job = nullptr;
            running.store(false, std::memory_order_release);
        }
    }
};

// The process's parked thread. A child of fork has no thread of its
// parent's, whatever the parent's object says, and that object may have
// been copied with its mutex held: the child leaves it alone and makes its
// own.
JobThread::Parked* JobThread::Parked::get() {
    static std::mutex mutex;
    static Parked* parked = nullptr;
    static pid_t owner = 0;
    std::lock_guard<std::mutex> lock(mutex);
    if (parked == nullptr || owner != getpid()) {
        parked = new Parked;  // never freed: one per process
        owner = getpid();
    }
    return parked;
}

bool JobThread::start(void (*job)(void*), void* context) {
    Parked* parked = Parked::get();
    bool free = false;
    if (parked->claimed.compare_exchange_strong(free, true, std::memory_order_acquire)) {
        if (parked->hand(job, context)) {
            parked_ = parked;
            return true;
        }
        parked->claimed.store(false, std::memory_order_release);
    }
    try {
        own_ = std::thread(job, context);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void JobThread::join() {
    if (own_.joinable()) own_.join();
    if (parked_ == nullptr) return;
    // The caller usually knows the job is at its end: a short spin, then
    // naps for a job that still has a stretch to go.
    for (int spin = 0; parked_->running.load(std::memory_order_acquire); ++spin) {
        if (spin > 4096) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    parked_->claimed.store(false, std::memory_order_release);
    parked_ = nullptr;
}

}  // namespace qvtok::json
