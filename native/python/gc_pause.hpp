// The cyclic collector paused for the length of one bulk conversion.
#pragma once

#include "python/compat.hpp"

namespace qvtok {

// Building many containers would start a young collection every few hundred
// of them: each finds little to walk, since a value's containers are left
// untracked as they are finished, but together they cost a third of the
// time of loading a file of small arrays. Paused, the collector has nothing
// of the call's to walk when it runs again. Its state is restored when the
// scope ends, however it ends; a program that turned it off finds it off.
// Nothing else of the collector's is touched.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    int was_enabled_;
};

}  // namespace qvtok
