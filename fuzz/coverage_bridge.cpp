// Coverage of the extension's native code for atheris's libFuzzer.
//
// libFuzzer learns which inputs are interesting from 8-bit counters that
// clang's -fsanitize-coverage=inline-8bit-counters places in the code. g++
// has no such mode; what it has is -fsanitize-coverage=trace-pc, a call to
// __sanitizer_cov_trace_pc at the start of every basic block. This library
// defines that function and turns each call into a counter bump, one counter
// per call site, found from the return address. The harness loads it with
// RTLD_GLOBAL before it imports the extension (so the extension's calls bind
// here) and, once libFuzzer is loaded, hands the counters and a matching PC
// table to libFuzzer's registration functions.
//
// Built on its own, without coverage or sanitizers: its functions run inside
// every basic block of the extension.
#include <link.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// The executable part of the extension; calls from elsewhere are ignored.
std::uintptr_t g_begin = 0;
std::uintptr_t g_size = 0;
std::uint8_t* g_counters = nullptr;
std::uintptr_t* g_pcs = nullptr;

// A call instruction is five bytes long, so two return addresses differ by
// at least five: a quarter of the offset tells call sites apart.
constexpr unsigned kShift = 2;

struct Search {
    const char* name_part;
    std::uintptr_t begin;
    std::uintptr_t size;
};

int find_text(dl_phdr_info* info, std::size_t, void* data) {
    auto* search = static_cast<Search*>(data);
    if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, search->name_part) == nullptr) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X)) {
            search->begin = info->dlpi_addr + ph.p_vaddr;
            search->size = ph.p_memsz;
            return 1;
        }
    }
    return 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void __sanitizer_cov_trace_pc() {
    std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)) - g_begin;
    if (offset < g_size) {
        std::uint8_t& c = g_counters[offset >> kShift];
        c = static_cast<std::uint8_t>(c + 1 == 0 ? 255 : c + 1);  // saturate, as clang's counters do
    }
}

// -fsanitize-coverage=trace-cmp in g++ also reports floating-point
// comparisons, which libFuzzer has no hooks for. Defined so that a build
// with trace-cmp still loads; they carry no information.
__attribute__((visibility("default"))) void __sanitizer_cov_trace_cmpf(float, float) {}
__attribute__((visibility("default"))) void __sanitizer_cov_trace_cmpd(double, double) {}

// Finds the loaded object whose path contains `name_part` and prepares one
// counter per possible call site of its code. Returns the number of counters
// (0 when the object is not loaded). The arrays live until the process ends.
__attribute__((visibility("default"))) std::size_t qvtok_coverage_attach(const char* name_part) {
    Search search{name_part, 0, 0};
    dl_iterate_phdr(find_text, &search);
    if (search.size == 0) return 0;
    std::size_t n = (search.size >> kShift) + 1;
    auto* counters = static_cast<std::uint8_t*>(std::calloc(n, 1));
    auto* pcs = static_cast<std::uintptr_t*>(std::calloc(2 * n, sizeof(std::uintptr_t)));
    if (counters == nullptr || pcs == nullptr) std::abort();
    // libFuzzer pairs each counter with a PC and flags (1: function entry);
    // the PC is the first byte of the counter's range.
    for (std::size_t i = 0; i < n; ++i) pcs[2 * i] = search.begin + (i << kShift);
    g_counters = counters;
    g_pcs = pcs;
    g_begin = search.begin;
    g_size = search.size;
    return n;
}

__attribute__((visibility("default"))) std::uint8_t* qvtok_coverage_counters() { return g_counters; }
__attribute__((visibility("default"))) std::uintptr_t* qvtok_coverage_pcs() { return g_pcs; }

}  // extern "C"
