#include "core/threads/core_watch.hpp"

#include <time.h>

#include <algorithm>
#include <atomic>

namespace qvtok::threads {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

// A thread kept from a core for this share of its time, and for longer
// than a scheduler's tick, did not have one to itself.
constexpr double kStarvedShare = 0.25;
constexpr std::chrono::microseconds kStarvedAtLeast(200);
// How long hand-overs wait after one that found no core: from the first,
// doubled for each that follows, up to the last.
constexpr std::chrono::milliseconds kBackOffFirst(50), kBackOffLast(2000);

std::atomic<std::int64_t> g_not_before{0};      // steady clock, in ns
std::atomic<std::int64_t> g_back_off{0};        // the last back-off, in ns

std::int64_t now_ns() { return std::chrono::duration_cast<nanoseconds>(Clock::now().time_since_epoch()).count(); }

}  // namespace

nanoseconds thread_cpu_time() {
    timespec ts;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return nanoseconds(0);
    return std::chrono::seconds(ts.tv_sec) + nanoseconds(ts.tv_nsec);
}

CoreWatch::CoreWatch() : start_(Clock::now()), cpu_start_(thread_cpu_time()) {}

bool CoreWatch::report() {
    const nanoseconds wall = Clock::now() - start_;
    const nanoseconds ran = thread_cpu_time() - cpu_start_;
    const nanoseconds kept = wall - ran - waited_;
    if (kept > kStarvedAtLeast && kept > wall * kStarvedShare) {
        kept_from_core();
        return true;
    }
    g_back_off.store(0, std::memory_order_relaxed);
    return false;
}

void kept_from_core() {
    const std::int64_t last = g_back_off.load(std::memory_order_relaxed);
    const std::int64_t next =
        std::clamp<std::int64_t>(last * 2, nanoseconds(kBackOffFirst).count(), nanoseconds(kBackOffLast).count());
    g_back_off.store(next, std::memory_order_relaxed);
    g_not_before.store(now_ns() + next, std::memory_order_relaxed);
}

bool CoreWatch::report_every(std::chrono::milliseconds window) {
    if (Clock::now() - start_ < window) return false;
    const bool kept = report();
    *this = CoreWatch();
    return kept;
}

bool second_core_free() {
    const std::int64_t until = g_not_before.load(std::memory_order_relaxed);
    return until == 0 || now_ns() >= until;
}

}  // namespace qvtok::threads
