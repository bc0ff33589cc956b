// qvtok.max_threads() and qvtok.set_max_threads(): how many threads the
// program lets qvtok keep busy.
#pragma once

#include "python/binding.hpp"

namespace qvtok {

// Adds both functions to `module`.
Expected<Done, CallError> register_thread_budget(PyObject* module);

}  // namespace qvtok
