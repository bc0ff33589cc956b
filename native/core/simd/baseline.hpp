// The policy that every processor of the build's target runs: SSE2 on x86,
// the portable scalar one elsewhere. This is the one place where that choice
// is made at compile time.
//
// The reader takes its string scan and white-space skip from here, inlined:
// it calls them once per string and per run of white space, so a choice made
// at run time (an indirect call each time) would cost more than the wider
// loads of AVX2 could win back on such short runs.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include "core/simd/sse2.hpp"
#else
#include "core/simd/scalar.hpp"
#endif

namespace qvtok::simd {
namespace {

#if defined(__x86_64__) || defined(__i386__)
using Baseline = Sse2;
#else
using Baseline = Scalar;
#endif

}  // namespace
}  // namespace qvtok::simd
