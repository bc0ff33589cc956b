// How many cores this process may run on.
#pragma once

#include <algorithm>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace qvtok {

// The cores of the process's affinity mask, which taskset, container
// cpusets and batch schedulers narrow: the machine's count would have two
// threads that hand work to each other take turns on one core, each
// waiting out the other's time slice. At least 1.
inline unsigned usable_cores() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace qvtok
