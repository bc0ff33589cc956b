// Every policy of the kernels against a byte-by-byte model and against each
// other, on random text fed in pieces cut at random places.
#include <algorithm>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/simd/scalar.hpp"
#include "core/simd/sse2.hpp"
#include "kernel_model.hpp"

namespace {

using qvtok::model::Generator;

// Cuts at random places, with a bias to window edges and to pieces so short
// that a window spans several of them.
std::vector<std::size_t> random_cuts(Generator& g, std::size_t size) {
    std::vector<std::size_t> cuts;
    std::size_t n = g.below(6);
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t at = g.below(size + 1);
        if (g.below(3) == 0) at = at / 64 * 64 + g.below(3);
        cuts.push_back(at);
    }
    return cuts;
}

bool agree(const std::string& text, const std::vector<std::size_t>& cuts) {
    std::string why = qvtok::model::differ(text, cuts);
    if (why.empty()) return true;
    std::fprintf(stderr, "%s on %zu bytes\n", why.c_str(), text.size());
    return false;
}

}  // namespace

TEST(kernels_agree_on_random_text) {
    int failed = 0;
    for (std::uint64_t seed = 1; seed <= 3000 && failed < 3; ++seed) {
        Generator g(seed);
        std::string text = g.text(seed % 10 == 0 ? 400 : g.below(60));
        if (!agree(text, random_cuts(g, text.size()))) ++failed;
    }
    CHECK_EQ(failed, 0);
}

namespace {

// ASCII elements without faults, so that pass_elements must pass every one
// that a comma ends: nested brackets of both kinds, strings holding commas,
// brackets and escaped quotes, white space, and now and then a blank
// element or the array's end, where it must stop.
std::string clean_element(Generator& g, int depth) {
    switch (g.below(depth < 4 ? 6 : 3)) {
        case 0: return std::to_string(g.below(100000));
        case 1: return g.below(2) ? "\"a,]}\\\"b\"" : "\"\"";
        case 2: return "null";
        case 3: {
            std::string out = "[";
            for (std::size_t i = 0, n = g.below(4); i < n; ++i) out += (i ? ", " : "") + clean_element(g, depth + 1);
            return out + "]";
        }
        default: {
            std::string out = "{";
            for (std::size_t i = 0, n = g.below(4); i < n; ++i)
                out += std::string(i ? ",\n  " : "") + "\"k" + std::to_string(i) + "\": " + clean_element(g, depth + 1);
            return out + "}";
        }
    }
}

}  // namespace

TEST(passing_elements_counts_every_one_a_comma_ends) {
    int failed = 0;
    for (std::uint64_t seed = 1; seed <= 2000 && failed < 3; ++seed) {
        Generator g(seed);
        std::string text;
        for (std::size_t i = 0, n = g.below(seed % 10 == 0 ? 300 : 30); i < n; ++i) {
            text += g.below(3) == 0 ? " \n " : "";
            text += g.below(200) == 0 ? " " : clean_element(g, 0);
            text += ',';
        }
        if (g.below(2)) text += clean_element(g, 0) + "]";
        if (!agree(text, {})) ++failed;
    }
    CHECK_EQ(failed, 0);
}

TEST(kernels_agree_past_the_checked_depth) {
    // Brackets deeper than 128 levels are not checked; those above are.
    int failed = 0;
    for (std::uint64_t seed = 1; seed <= 200 && failed < 3; ++seed) {
        Generator g(seed);
        std::string text;
        std::size_t depth = 120 + g.below(20);
        for (std::size_t i = 0; i < depth; ++i) text += g.below(2) ? '[' : '{';
        text += g.text(8);
        for (std::size_t i = 0; i < depth + 1; ++i) text += g.below(2) ? ']' : '}';
        if (!agree(text, random_cuts(g, text.size()))) ++failed;
    }
    CHECK_EQ(failed, 0);
}

TEST(separator_stops_are_reported_with_their_cause) {
    using qvtok::simd::Stop;
    struct Case {
        const char* text;
        std::size_t offset;
        Stop stop;
    };
    const Case cases[] = {
        {"1, 2]", 1, Stop::Comma},
        {"{\"a\": [1, 2]}]", 13, Stop::Close},
        {"{\"a\": [1, 2}]", 11, Stop::Mismatch},
        {"1}", 1, Stop::Mismatch},
        {"\"a\x01\"]", 2, Stop::Control},
        {"\"a\\\x1f\"]", 3, Stop::Control},
        {"\\\"x\",", 4, Stop::Comma},  // a backslash outside a string escapes nothing
    };
    for (const Case& c : cases) {
        for (auto isa : {qvtok::simd::Isa::Scalar, qvtok::simd::Isa::Sse2, qvtok::simd::Isa::Avx2}) {
            const qvtok::simd::KernelSet* k = qvtok::simd::kernel_set(isa);
            if (k == nullptr) continue;
            qvtok::simd::ArrayState st;
            std::string text = std::string(70, ' ') + c.text;  // the stop in the second window
            qvtok::simd::Found f = k->find_separator(text.data(), text.size(), st);
            CHECK_EQ(f.offset, c.offset + 70);
            CHECK(f.stop == c.stop);
        }
    }
}

// The reader's inline primitives of each compile-time baseline, against a
// byte loop: where a run of plain string bytes ends, whether a byte before
// that is beyond ASCII, and where white space ends.
template <class Policy>
static int reader_primitives_disagree(Generator& g) {
    int wrong = 0;
    const char pool[] = "ab \t\n\r\"\\\x01\x1f\x7f\xc3\xa9\xff,{";
    for (int round = 0; round < 20000; ++round) {
        char p[16];
        for (char& c : p) c = pool[g.below(sizeof pool - 1)];
        if (g.below(2)) std::fill(p, p + g.below(16), ' ');
        unsigned want = 0;
        unsigned want_high = 0;
        while (want < Policy::kRun) {
            unsigned char c = static_cast<unsigned char>(p[want]);
            if (c == '"' || c == '\\' || c < 0x20) break;
            want_high |= c & 0x80;
            ++want;
        }
        unsigned high = 0;
        unsigned got = Policy::string_run(p, high);
        if (got != want || (high != 0) != (want_high != 0)) ++wrong;
        unsigned space = 0;
        while (space < Policy::kRun && (p[space] == ' ' || p[space] == '\t' || p[space] == '\n' || p[space] == '\r')) ++space;
        if (Policy::space_run(p) != space) ++wrong;
    }
    return wrong;
}

TEST(reader_primitives_of_each_baseline) {
    Generator g(7);
    CHECK_EQ(reader_primitives_disagree<qvtok::simd::Scalar>(g), 0);
#if defined(__x86_64__) || defined(__i386__)
    CHECK_EQ(reader_primitives_disagree<qvtok::simd::Sse2>(g), 0);
#endif
}
