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

TEST(floats_at_the_edges_of_the_double_range) {
    // Literals known to trip up conversions: halfway cases, the largest and
    // smallest doubles, the subnormal boundary, long significands.
    const char* literals[] = {
        "1.7976931348623157e308",   // the largest double
        "1.7976931348623158e308",   // rounds down to it
        "2.2250738585072011e-308",  // just below the smallest normal
        "2.2250738585072014e-308",  // the smallest normal
        "4.9406564584124654e-324",  // the smallest subnormal
        "2.4703282292062328e-324",  // just above half of it: rounds up to it
        "9007199254740993.0",       // 2^53 + 1: halfway, ties to even
        "9007199254740995.0",
        "1e23",
        "8.589973e9",
        "0.1",
        "123456789012345678901234567890e-10",
        "0.000000000000000000000000000000000000000000001e-280",
        "1.00000000000000011102230246251565404236316680908203125",  // exactly halfway above 1
        "1.00000000000000011102230246251565404236316680908203126",  // just past halfway
    };
    for (const char* text : literals) {
        double expected = std::strtod(text, nullptr);
        auto doc = json::read_json_text(text);
        CHECK(doc.ok());
        if (!doc.ok()) continue;
        CHECK_EQ(static_cast<int>(doc.value().root().kind()), static_cast<int>(json::Kind::Float));
        if (doc.value().root().as_float() != expected) ::qvtok::test::fail(__FILE__, __LINE__, std::string("float of ") + text);
    }
}

TEST(floats_beyond_the_range_are_refused_and_tiny_ones_keep_their_sign) {
    for (const char* text : {"1.7976931348623159e308", "1e309", "-1e400", "123e99999999999999999999"}) {
        auto doc = json::read_json_text(text);
        CHECK(!doc.ok());
        if (!doc.ok())
            CHECK_EQ(static_cast<int>(doc.error().syntax), static_cast<int>(json::Syntax::NumberOutOfRange));
    }
    for (const char* text : {"1e-400", "-1e-400", "-2.4703282292062327e-324", "0e999999999999"}) {
        auto doc = parse(text);
        if (doc.tape.empty()) continue;
        CHECK_EQ(doc.root().as_float(), 0.0);
        CHECK_EQ(std::signbit(doc.root().as_float()), text[0] == '-');
    }
}
