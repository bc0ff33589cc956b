// The cyclic collector around calls that build millions of objects.
#pragma once

#include "python/compat.hpp"

namespace qvtok {

// Pauses the cyclic collector for the length of a bulk conversion: building
// millions of containers would otherwise trigger it over and over. When it
// resumes after a call that made more objects than a young collection
// waits for, they are handed to the oldest generation, as if a collection
// had just found them all alive: otherwise the first allocation after the
// call would walk every one of them, and later collections of the older
// generations again, which for a program that keeps what it loads costs
// as much as the load itself. The GC's
// own freeze and unfreeze do that without walking anything; they are left
// alone once the program has frozen objects of its own.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()) {}
    ~GcPause();
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

    // Remembers how many objects the interpreter keeps frozen before the
    // program can freeze any (at import). GIL held.
    static void note_frozen_at_start();

private:
    int was_enabled_;
};

}  // namespace qvtok
