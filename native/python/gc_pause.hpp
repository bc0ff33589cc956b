// The cyclic collector paused for the length of one bulk conversion.
#pragma once

#include "python/compat.hpp"

namespace qvtok {

// Building millions of containers would start collection after collection,
// each walking the young ones, and full collections over everything the
// program holds as the result grows. Paused, the collector walks what was
// built once it runs again, as it would have at its next collection. Its
// state is restored when the scope ends, however it ends; a program that
// turned it off finds it off. Nothing else of the collector's is touched.
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
