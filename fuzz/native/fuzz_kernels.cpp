// Runs every kernel policy the processor has on the same bytes and aborts
// when one disagrees with the others or with the byte-by-byte model. The
// first bytes of the input choose where the text is cut into pieces.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/kernel_model.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    std::size_t n_cuts = data[0] % 5;
    if (size < 1 + 2 * n_cuts) return 0;
    std::string text(reinterpret_cast<const char*>(data) + 1 + 2 * n_cuts, size - 1 - 2 * n_cuts);
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i < n_cuts; ++i) {
        std::size_t at = static_cast<std::size_t>(data[1 + 2 * i]) | static_cast<std::size_t>(data[2 + 2 * i]) << 8;
        cuts.push_back(text.empty() ? 0 : at % (text.size() + 1));
    }
    std::string why = qvtok::model::differ(text, cuts);
    if (!why.empty()) {
        std::fprintf(stderr, "%s", why.c_str());
        std::abort();
    }
    return 0;
}
