// The scalar and SSE2 kernels, and the one choice among the policies.
#include "core/simd/kernels.hpp"

#include <cstddef>
#include <cstdint>

#include "core/simd/kernels_impl.hpp"
#include "core/simd/scalar.hpp"
#include "core/simd/sse2.hpp"

namespace qvtok::simd {

#if defined(__x86_64__) || defined(__i386__)
// Defined in avx2.cpp; to be called only where the processor has AVX2.
const KernelSet& avx2_kernels();
#endif

namespace {

template <class Isa>
constexpr KernelSet kernels_of() {
    using K = Kernels<Isa>;
    return KernelSet{K::find_separator, K::count_array,      K::count_lines,
                     K::count_line_feeds, K::valid_utf8_prefix, K::skip_value, K::pass_elements};
}

constexpr KernelSet kScalar = kernels_of<Scalar>();
#if defined(__x86_64__) || defined(__i386__)
constexpr KernelSet kSse2 = kernels_of<Sse2>();
#endif

bool cpu_has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
           __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("pclmul");
#else
    return false;
#endif
}

const KernelSet& pick() {
#if defined(QVTOK_BASELINE_KERNELS)
    constexpr bool baseline_only = true;
#else
    constexpr bool baseline_only = false;
#endif
#if defined(__x86_64__) || defined(__i386__)
    if (!baseline_only && cpu_has_avx2()) return avx2_kernels();
    return kSse2;
#else
    (void)baseline_only;
    return kScalar;
#endif
}

const KernelSet& chosen() {
    static const KernelSet& set = pick();
    return set;
}

}  // namespace

const KernelSet* kernel_set(Isa isa) {
    switch (isa) {
        case Isa::Scalar:
            return &kScalar;
        case Isa::Sse2:
#if defined(__x86_64__) || defined(__i386__)
            return &kSse2;
#else
            return nullptr;
#endif
        case Isa::Avx2:
#if defined(__x86_64__) || defined(__i386__)
            if (cpu_has_avx2()) return &avx2_kernels();
#endif
            return nullptr;
    }
    return nullptr;
}

Found find_separator(const char* data, std::size_t n, ArrayState& state) {
    return chosen().find_separator(data, n, state);
}

Found skip_value(const char* data, std::size_t n, ArrayState& state) {
    return chosen().skip_value(data, n, state);
}

void count_array(const char* data, std::size_t n, CountState& state) { chosen().count_array(data, n, state); }
std::size_t pass_elements(const char* data, std::size_t n, std::uint64_t& passed) {
    return chosen().pass_elements(data, n, passed);
}

std::size_t count_lines(const char* data, std::size_t n, LineState& state) {
    return chosen().count_lines(data, n, state);
}

bool ends_in_partial_character(const LineState& state) { return Kernels<Scalar>::tail_incomplete(state.tail); }

std::uint64_t count_line_feeds(const char* data, std::size_t n) { return chosen().count_line_feeds(data, n); }

std::size_t valid_utf8_prefix(const char* data, std::size_t n) { return chosen().valid_utf8_prefix(data, n); }

}  // namespace qvtok::simd
