// Threads that work through a file's partitions as they are planned, with
// the caller's thread free to run signal handlers and take their results.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "core/records/partition.hpp"
#include "core/threads/worker.hpp"
#include "python/gil.hpp"

namespace qvtok::open {

// Runs a body on worker threads, the GIL let go, while the caller's thread
// runs signal handlers and a `report` with the GIL held: every 50 ms, and
// at once when a worker calls wake().
class ThreadGroup {
public:
    void wake() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            woken_ = true;
        }
        changed_.notify_all();
    }

    // Runs `body(t)` on threads t in [0, count). False when a signal
    // handler or `report` raised: `stop` was set, `halt()` called to wake
    // the workers that wait, and the exception is pending. `report` may set
    // `stop` itself to end the run early. What a body or `report` throws
    // (and a thread that cannot be started, as std::bad_alloc) stops the run
    // the same way and is thrown here once every thread has ended.
    template <class Body, class Report, class Halt>
    bool run(std::size_t count, std::atomic<bool>& stop, Body&& body, Report&& report, Halt&& halt) {
        running_ = 0;
        std::exception_ptr thrown;
        auto fail = [&](std::exception_ptr e) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!thrown) thrown = e;
            }
            stop = true;
            halt();
        };
        // Joined before anything they use goes, whatever way this returns.
        std::unique_ptr<threads::Worker[]> workers(new threads::Worker[count]);
        bool interrupted = false;
        GilRelease free;
        for (std::size_t t = 0; t < count; ++t) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++running_;
            }
            const bool started = workers[t].start("qvtok-part", [&, t] {
                try {
                    body(t);
                } catch (...) {
                    fail(std::current_exception());
                }
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    --running_;
                }
                changed_.notify_all();
            });
            if (!started) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    --running_;
                }
                fail(std::make_exception_ptr(std::bad_alloc()));
                break;
            }
        }
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            if (changed_.wait_for(lock, std::chrono::milliseconds(50), [&] { return running_ == 0 || woken_; }) &&
                running_ == 0)
                break;
            woken_ = false;
            lock.unlock();
            free.hold();
            // What `report` throws (memory running out while it writes) ends
            // the run as a worker's exception does: unwinding from here would
            // join workers that wait for parts and were never told to stop.
            try {
                interrupted = PyErr_CheckSignals() != 0 || !report();
            } catch (...) {
                free.release();
                fail(std::current_exception());
                break;
            }
            free.release();
            if (interrupted) {
                stop = true;
                halt();
                break;
            }
        }
        for (std::size_t t = 0; t < count; ++t) workers[t].join();
        free.hold();
        if (thrown) {
            if (interrupted) PyErr_Clear();  // what a thread threw comes first
            std::rethrow_exception(thrown);
        }
        return !interrupted;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t running_ = 0;
    bool woken_ = false;
};

// Partitions handed from whoever plans them to the threads that work on
// them, as they are found, with a slot for each one's result. With a
// window, no part is handed out while `window` parts before it are still
// unconsumed, so that results held for an ordered consumer stay bounded.
template <class Result>
struct WorkQueue {
    std::mutex mutex;
    std::condition_variable more;
    std::deque<records::PartitionPlan> parts;  // deques: what a worker holds stays put
    std::deque<Result> results;
    std::size_t next = 0;
    std::size_t consumed = 0;  // parts whose results the consumer has taken
    std::size_t window = std::numeric_limits<std::size_t>::max();
    bool planned = false;    // no more will come
    bool fell_back = false;  // the scan could not cut the file: the parts so far do not count
    std::optional<Error> failed;

    void add(const records::PartitionPlan& part) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            parts.push_back(part);
            results.emplace_back();
        }
        more.notify_one();
    }
    void finish(Expected<bool> scanned) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            planned = true;
            if (!scanned) failed = std::move(scanned).error();
            else fell_back = !scanned.value();
        }
        more.notify_all();
    }
    // Adds the parts of the top-level array of the file at `path` as the
    // scan that cuts it finds them, until `stop`, and then finishes.
    void plan_by_scan(std::string_view path, std::uint64_t target, const std::atomic<bool>& stop) {
        finish(records::scan_array_partitions(path, target, {}, [&](const records::PartitionPlan& part) {
            if (stop.load()) return false;
            add(part);
            return true;
        }));
    }
    // The consumer has taken the results of the first `n` parts.
    void consume(std::size_t n) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            consumed = n;
        }
        more.notify_all();
    }
    // Wakes the workers that wait for parts, so that they see a stop.
    void wake_all() {
        { std::lock_guard<std::mutex> lock(mutex); }
        more.notify_all();
    }
    // The next part to work on and where its result goes, found under the
    // lock (a deque's index moves while it grows); false when none is left.
    bool take(const std::atomic<bool>& stop, const records::PartitionPlan*& part, Result*& result) {
        std::unique_lock<std::mutex> lock(mutex);
        more.wait(lock, [&] {
            return stop.load() || (planned && (fell_back || next >= parts.size())) ||
                   (next < parts.size() && next - consumed < window);
        });
        if (stop.load() || fell_back || next >= parts.size()) return false;
        part = &parts[next];
        result = &results[next];
        ++next;
        return true;
    }
};

}  // namespace qvtok::open
