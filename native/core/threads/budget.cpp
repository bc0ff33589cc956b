#include "core/threads/budget.hpp"

#include <algorithm>
#include <atomic>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace qvtok::threads {
namespace {

std::atomic<unsigned> g_limit{0};

}  // namespace

unsigned usable_cores() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

unsigned limit() { return g_limit.load(std::memory_order_relaxed); }

void set_limit(unsigned threads) { g_limit.store(threads, std::memory_order_relaxed); }

unsigned allowed() {
    const unsigned cores = usable_cores(), set = limit();
    return set == 0 ? cores : std::min(set, cores);
}

}  // namespace qvtok::threads
