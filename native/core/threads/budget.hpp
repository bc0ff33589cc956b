// How many threads qvtok may keep busy at once, the caller's included: the
// cores the process may run on, or fewer where the program says so.
#pragma once

namespace qvtok::threads {

// The cores of the process's affinity mask, which taskset, container
// cpusets and batch schedulers narrow: the machine's count would have two
// threads that hand work to each other take turns on one core, each
// waiting out the other's time slice. At least 1.
unsigned usable_cores();

// The program's limit, 0 when it set none.
unsigned limit();
void set_limit(unsigned threads);

// The limit, or the usable cores when there is none or they are fewer. At
// least 1: with 1, every operation runs on the caller's thread alone.
unsigned allowed();

}  // namespace qvtok::threads
