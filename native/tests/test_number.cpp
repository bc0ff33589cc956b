// Numbers through the reader: classification and correctly rounded floats.
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include "check.hpp"
#include "core/json/reader.hpp"

using namespace qvtok;

namespace {

json::Document parse(const std::string& text) {
    auto doc = json::read_json_text(text);
    CHECK(doc.ok());
    return std::move(doc).value();
}

}  // namespace

TEST(integers_keep_their_kind_at_the_64_bit_edges) {
    struct Case {
        const char* text;
        json::Kind kind;
    } cases[] = {
        {"0", json::Kind::Unsigned},
        {"18446744073709551615", json::Kind::Unsigned},
        {"18446744073709551616", json::Kind::Float},
        {"-1", json::Kind::Negative},
        {"-9223372036854775808", json::Kind::Negative},
        {"-9223372036854775809", json::Kind::Float},
        {"-0", json::Kind::Float},
        {"1.0", json::Kind::Float},
    };
    for (const Case& c : cases) {
        auto doc = parse(c.text);
        CHECK_EQ(static_cast<int>(doc.root().kind()), static_cast<int>(c.kind));
    }
}

TEST(floats_match_strtod_on_random_literals) {
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 20000; ++i) {
        std::uint64_t digits = rng() >> (rng() % 64);
        int exponent = static_cast<int>(rng() % 700) - 350;
        std::string text = std::to_string(digits) + "e" + std::to_string(exponent);
        double expected = std::strtod(text.c_str(), nullptr);
        if (expected == HUGE_VAL) continue;  // out of range is refused
        auto doc = json::read_json_text(text);
        CHECK(doc.ok());
        if (!doc.ok()) continue;
        double got = doc.value().root().kind() == json::Kind::Float ? doc.value().root().as_float()
                                                                     : static_cast<double>(digits);
        if (got != expected) ::qvtok::test::fail(__FILE__, __LINE__, "float of " + text);
    }
}
