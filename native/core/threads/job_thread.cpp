#include "core/threads/job_thread.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/check.hpp"
#include "core/threads/watch.hpp"

namespace qvtok::threads {

// How long the parked thread waits for a next job before it ends: long
// enough for jobs that come one after another, short enough that a
// program does not keep an idle thread.
constexpr std::chrono::milliseconds kParkedFor(500);
// How long a thread that has just finished a job looks for its next one
// before it sleeps: jobs often come in runs (one large record after
// another), and a thread still awake takes the next at once. Kept short:
// past it the thread sleeps, and a sleeping thread burns nothing.
constexpr std::chrono::microseconds kWatchAfterJob(50);
// How long a thread woken early looks for the job it was woken for: one
// that is known to come (the caller is reading its text), after the time
// to read and check a text of a few MiB. A thread that has gone back to
// sleep when it comes is not waited for: the caller reads alone.
constexpr std::chrono::microseconds kWatchForEarly(250);
// How long the caller looks for the end of a job before it sleeps: it
// usually knows the job is at its end.
constexpr std::chrono::microseconds kJoinWatchFor(20);


struct JobThread::Parked {
    explicit Parked(std::uint64_t born) : forks(born) {}

    const std::uint64_t forks;  // the process it belongs to
    std::mutex mutex;
    std::condition_variable wake;  // for the thread: a job, an early wake, or quit
    std::condition_variable done;  // for the caller: the job returned
    void (*job)(void*) = nullptr;  // under mutex: the job to run next
    void* context = nullptr;
    std::exception_ptr thrown;         // under mutex: what the last job threw
    bool alive = false;                // under mutex: the thread waits for jobs
    bool early = false;                // under mutex: woken early, to watch for a job
    bool begun = false;                // under mutex: the thread has taken the job
    bool quit = false;                 // under mutex: the thread should end now
    std::atomic<bool> handed{false};   // job is set: what a watching thread looks at
    std::atomic<bool> claimed{false};  // a JobThread has it, from start to join
    std::atomic<bool> running{false};  // the job handed over has not returned yet
    Worker thread;                     // under mutex

    static Parked* get();

    // Hands a job to the thread, starting it when it has ended; false when
    // no thread can be started. The caller has claimed it.
    bool hand(void (*run)(void*), void* with) {
        QVTOK_ASSERT(claimed.load(std::memory_order_relaxed), "a job is handed over only by the claim's holder");
        std::unique_lock<std::mutex> lock(mutex);
        QVTOK_ASSERT(job == nullptr && !begun && !running.load(std::memory_order_relaxed),
                     "the parked thread has one job at a time");
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

    // Waits for the job handed over to return; what it threw, if anything.
    std::exception_ptr join() {
        if (!watch([&] { return !running.load(std::memory_order_acquire); }, kJoinWatchFor)) {
            std::unique_lock<std::mutex> lock(mutex);
            done.wait(lock, [&] { return !running.load(std::memory_order_acquire); });
        }
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(thrown, nullptr);
    }

    // Ends the thread if it waits for a job, and waits for it to end: a
    // process about to fork then has no thread of ours to warn about, and
    // its child none to miss. A thread at work is left to its job.
    void stop_if_idle() {
        std::unique_lock<std::mutex> lock(mutex);
        if (!alive || claimed.load(std::memory_order_acquire) || job != nullptr) return;
        quit = true;
        lock.unlock();
        wake.notify_one();
        // Without the mutex, which the thread takes to end; nobody starts
        // it meanwhile, as `quit` tells.
        thread.join();
        lock.lock();
        quit = false;
    }

    // Under mutex.
    bool ensure_alive() {
        if (alive) return true;
        if (quit) return false;  // being stopped for a fork
        thread.join();  // one that ended by itself
        if (!thread.start("qvtok-job", [this] { loop(); })) return false;
        alive = true;
        return true;
    }

    void loop() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            const bool woken = wake.wait_for(lock, kParkedFor, [&] { return job != nullptr || early || quit; });
            if (quit || (!woken && !claimed.load(std::memory_order_acquire))) {
                // A claim not yet handed over brings a job soon; otherwise
                // the thread has been idle long enough. Stopped, it is
                // joined; ending by itself, nobody waits for it, and left
                // unjoined its stack would stay until the next job, which
                // may never come.
                if (!quit) thread.detach();
                alive = false;
                return;
            }
            if (!woken) continue;
            if (job == nullptr) {
                early = false;
                lock.unlock();
                watch([&] { return handed.load(std::memory_order_acquire); }, kWatchForEarly);
                lock.lock();
                continue;
            }
            void (*run)(void*) = job;
            void* with = context;
            QVTOK_ASSERT(!begun && running.load(std::memory_order_relaxed), "a job handed over is begun once");
            begun = true;
            lock.unlock();
            std::exception_ptr failed;
            try {
                run(with);
            } catch (...) {
                failed = std::current_exception();
            }
            lock.lock();
            thrown = std::move(failed);
            job = nullptr;
            begun = false;
            early = false;  // a wake for this job that came after it
            handed.store(false, std::memory_order_relaxed);
            running.store(false, std::memory_order_release);
            done.notify_all();
            lock.unlock();
            watch([&] { return handed.load(std::memory_order_acquire); }, kWatchAfterJob);
            lock.lock();
        }
    }
};

namespace {

std::atomic<JobThread::Parked*> g_parked{nullptr};

void stop_parked_before_fork() {
    JobThread::Parked* parked = g_parked.load(std::memory_order_acquire);
    if (parked != nullptr && parked->forks == threads::forks()) parked->stop_if_idle();
}

}  // namespace

// The process's parked thread, made on first use. A child of fork has no
// thread of its parent's, whatever the parent's object says, and that
// object may have been copied with its mutex held: the child leaves it
// alone and makes its own.
JobThread::Parked* JobThread::Parked::get() {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(stop_parked_before_fork, nullptr, nullptr); });
    Parked* parked = g_parked.load(std::memory_order_acquire);
    const std::uint64_t now = threads::forks();
    if (parked != nullptr && parked->forks == now) return parked;
    auto* fresh = new Parked(now);  // never freed: one per process
    if (g_parked.compare_exchange_strong(parked, fresh, std::memory_order_acq_rel)) return fresh;
    delete fresh;
    return parked;  // another thread made it first
}

bool JobThread::start(void (*job)(void*), void* context) {
    join();
    Parked* parked = Parked::get();
    bool free = false;
    if (parked->claimed.compare_exchange_strong(free, true, std::memory_order_acquire)) {
        if (parked->hand(job, context)) {
            parked_ = parked;
            return true;
        }
        parked->claimed.store(false, std::memory_order_release);
    }
    return own_.start("qvtok-job", [job, context] { job(context); });
}

void JobThread::wake_early() {
    Parked* parked = Parked::get();
    // A thread that runs a job now is not free for the next one anyway.
    if (!parked->claimed.load(std::memory_order_relaxed)) parked->wake_early();
}

bool JobThread::withdraw() {
    if (parked_ == nullptr || !parked_->withdraw()) return false;
    QVTOK_ASSERT(parked_->claimed.load(std::memory_order_relaxed), "a withdrawn job was claimed");
    parked_->claimed.store(false, std::memory_order_release);
    parked_ = nullptr;
    return true;
}

void JobThread::join() {
    if (own_.running()) {
        own_.join();
        thrown_ = own_.take_thrown();
    }
    if (parked_ == nullptr) return;
    if (parked_->forks != threads::forks()) {
        parked_ = nullptr;  // the parent's thread: not in this process
        return;
    }
    thrown_ = parked_->join();
    parked_->claimed.store(false, std::memory_order_release);
    parked_ = nullptr;
}

}  // namespace qvtok::threads
