// Invariants of the core, stated where they hold: QVTOK_ASSERT(cond, what).
//
// qvtok is a guest in its host's process and never aborts it, so in a
// normal build an assertion is compiled out: its condition is not even
// evaluated (it must have no side effects), only checked to compile. The
// sanitizer builds and the fuzzers define QVTOK_ASSERTS (CMake's
// QVTOK_SANITIZE, QVTOK_TSAN and QVTOK_ASSERTS options do), and there a
// broken invariant stops the process at once, with the condition, its place
// and `what` (a string literal saying what should have held) on stderr, so
// that a test, a fuzzer or a sanitizer run fails where the fault shows rather
// than later, where its damage does.
#pragma once

#if defined(QVTOK_ASSERTS)

#include <cstdio>
#include <cstdlib>

namespace qvtok::detail {

[[noreturn, gnu::cold, gnu::noinline]] inline void invariant_broken(const char* cond, const char* file, int line,
                                                                     const char* what) noexcept {
    std::fprintf(stderr, "%s:%d: invariant broken: %s (%s)\n", file, line, what, cond);
    std::fflush(stderr);
    std::abort();
}

}  // namespace qvtok::detail

#define QVTOK_ASSERT(cond, what) \
    ((cond) ? static_cast<void>(0) : ::qvtok::detail::invariant_broken(#cond, __FILE__, __LINE__, what))

#else

#define QVTOK_ASSERT(cond, what) static_cast<void>(sizeof(!(cond)))

#endif
