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
// How long a thread woken early watches for its job before it parks again:
// the time to read a file of a few MiB, after which a late wake costs
// little beside the work.
constexpr std::chrono::microseconds kWatchFor(1000);
// How long a thread that has just finished a job watches for the next:
// jobs often come in runs (a file's read, then its parse; one large record
// after another; file after file), and a thread that has gone to sleep
// takes some 100 us to wake on a virtual machine, longer than reading a
// file of a few hundred KiB. Past the first moments it yields the core at
// every look, so that any other thread that wants the core has it.
constexpr std::chrono::microseconds kWatchAfterJob(5000);
constexpr std::chrono::microseconds kSpinBeforeYield(200);

struct JobThread::Parked {
    std::mutex mutex;
    std::condition_variable wake;
    void (*job)(void*) = nullptr;  // under mutex: the job to run next
    void* context = nullptr;
    bool alive = false;                // under mutex: the thread waits for jobs
    bool early = false;                // under mutex: woken early, to watch for a job
    bool begun = false;                // under mutex: the thread has taken the job
    std::atomic<bool> handed{false};   // job is set: what a watching thread looks at
    std::atomic<bool> claimed{false};  // a JobThread has it, from start to join
    std::atomic<bool> running{false};  // the job handed over has not returned yet

    static Parked* get();

    // Hands a job to the thread, starting it when it has ended; false when
    // no thread can be started. The caller has claimed it.
    bool hand(void (*run)(void*), void* with) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!ensure_alive()) return false;
        job = run;
        context = with;
        running.store(true, std::memory_order_relaxed);
        handed.store(true, std::memory_order_release);
        lock.unlock();
        wake.notify_one();
        return true;
    }

    bool withdraw() {
        std::lock_guard<std::mutex> lock(mutex);
        if (job == nullptr || begun) return false;
        job = nullptr;
        context = nullptr;
        // Not woken yet: when it wakes it goes back to sleep at once rather
        // than watch for a job beside the caller, who now works alone.
        early = false;
        handed.store(false, std::memory_order_relaxed);
        running.store(false, std::memory_order_release);
        return true;
    }

    void wake_early() {
        std::unique_lock<std::mutex> lock(mutex);
        if (early || job != nullptr || !ensure_alive()) return;
        early = true;
        lock.unlock();
        wake.notify_one();
    }

    // Under mutex.
    bool ensure_alive() {
        if (alive) return true;
        try {
            std::thread(&Parked::loop, this).detach();
        } catch (const std::system_error&) {
            return false;
        }
        alive = true;
        return true;
    }

    // Woken early, or done with a job: looks for the next job without the
    // mutex (which the caller takes to hand it over) until it comes or the
    // watch is over.
    void watch(std::chrono::microseconds for_how_long) {
        const auto start = std::chrono::steady_clock::now();
        const auto until = start + for_how_long, yield_from = start + kSpinBeforeYield;
        for (unsigned spin = 1; !handed.load(std::memory_order_acquire); ++spin) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
            if (spin % 64 != 0) continue;
            const auto now = std::chrono::steady_clock::now();
            if (now > until) return;
            if (now > yield_from) std::this_thread::yield();
        }
    }

    void loop() {
#if defined(__linux__)
        pthread_setname_np(pthread_self(), "qvtok-read");
#endif
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (!wake.wait_for(lock, kParkedFor, [&] { return job != nullptr || early; })) {
                // A claim not yet handed over brings a job soon.
                if (claimed.load(std::memory_order_acquire)) continue;
                alive = false;
                return;
            }
            if (job == nullptr) {
                early = false;
                lock.unlock();
                watch(kWatchFor);
                lock.lock();
                continue;
            }
            void (*run)(void*) = job;
            void* with = context;
            begun = true;
            lock.unlock();
            run(with);
            lock.lock();
            job = nullptr;
            begun = false;
            early = false;  // a wake for this job that came after it
            handed.store(false, std::memory_order_relaxed);
            running.store(false, std::memory_order_release);
            lock.unlock();
            watch(kWatchAfterJob);
            lock.lock();
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

void JobThread::wake_early() {
    Parked* parked = Parked::get();
    // A thread that runs a job now is not free for the next one anyway.
    if (!parked->claimed.load(std::memory_order_relaxed)) parked->wake_early();
}

bool JobThread::withdraw() {
    if (parked_ == nullptr || !parked_->withdraw()) return false;
    parked_->claimed.store(false, std::memory_order_release);
    parked_ = nullptr;
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
