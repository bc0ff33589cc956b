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

namespace {

// The reader's float of `text` against strtod's, which rounds correctly.
void expect_strtod(const std::string& text) {
    double expected = std::strtod(text.c_str(), nullptr);
    auto doc = json::read_json_text(text);
    CHECK(doc.ok());
    if (!doc.ok()) return;
    json::Value v = doc.value().root();
    double got = v.kind() == json::Kind::Float      ? v.as_float()
                 : v.kind() == json::Kind::Unsigned ? static_cast<double>(v.as_unsigned())
                                                    : static_cast<double>(v.as_negative());
    if (got != expected) ::qvtok::test::fail(__FILE__, __LINE__, "float of " + text);
}

}  // namespace

TEST(long_significands_round_correctly_near_the_exponents_of_common_data) {
    // Seventeen to nineteen digits with a small exponent: the shortest form
    // of most doubles, which the exact path cannot take.
    std::mt19937_64 rng(2026);
    for (int i = 0; i < 200000; ++i) {
        std::uint64_t digits = rng() % 10000000000000000000ull;
        int exponent = static_cast<int>(rng() % 61) - 30;
        std::string text = std::to_string(digits);
        if (i % 2 == 0) {
            // As a decimal fraction, the way coordinates are written.
            std::size_t point = 1 + rng() % text.size();
            text = (rng() % 2 ? "-" : "") + text.substr(0, point) + "." + text.substr(point) + "0";
        } else {
            text += "e" + std::to_string(exponent);
        }
        expect_strtod(text);
    }
}

TEST(literals_exactly_halfway_between_two_doubles_round_to_even) {
    // (2m + 1) * 2^k lies halfway between two doubles when 2m + 1 has 54
    // bits. Made of an odd r times 5^q, it is written r * 2^(k-q) "e" q.
    std::mt19937_64 rng(7);
    for (int q = 0; q <= 23; ++q) {
        std::uint64_t five = 1;
        for (int i = 0; i < q; ++i) five *= 5;
        const std::uint64_t low = (std::uint64_t{1} << 53) / five + 1, high = (std::uint64_t{1} << 54) / five;
        if (low >= high) continue;
        for (int i = 0; i < 400; ++i) {
            std::uint64_t r = (low + rng() % (high - low)) | 1;
            if (r >= high) continue;
            for (int shift = 0; shift < 11 && (r << shift) >> shift == r && (r << shift) < (std::uint64_t{1} << 63);
                 ++shift) {
                std::uint64_t s = r << shift;
                for (std::uint64_t t : {s - 1, s, s + 1}) expect_strtod(std::to_string(t) + "e" + std::to_string(q));
            }
        }
    }
}

TEST(numbers_of_every_length_read_alike_at_the_end_of_a_text_and_before_more) {
    // Runs of digits are taken eight bytes at a time where the text has
    // eight more bytes, and digit by digit near its end: each length of
    // integer part and fraction, in both places, gives strtod's value.
    std::mt19937_64 rng(99);
    for (int whole = 1; whole <= 22; ++whole) {
        for (int fraction = 0; fraction <= 20; ++fraction) {
            std::string literal = std::to_string(1 + rng() % 9);
            for (int i = 1; i < whole; ++i) literal += static_cast<char>('0' + rng() % 10);
            if (fraction > 0) {
                literal += '.';
                for (int i = 0; i < fraction; ++i) literal += static_cast<char>('0' + rng() % 10);
            }
            const double expected = std::strtod(literal.c_str(), nullptr);
            for (const std::string& text : {literal, "[" + literal + ", 12345678]", "[" + literal + "]"}) {
                auto doc = json::read_json_text(text);
                CHECK(doc.ok());
                if (!doc.ok()) continue;
                json::Value v = doc.value().root();
                if (v.kind() == json::Kind::Array) v = *v.elements().begin();
                const double got = v.kind() == json::Kind::Float ? v.as_float() : static_cast<double>(v.as_unsigned());
                if (got != expected) ::qvtok::test::fail(__FILE__, __LINE__, "value of " + text);
                if (v.kind() == json::Kind::Unsigned)
                    CHECK(std::to_string(v.as_unsigned()) == literal);  // integers exactly
            }
        }
    }
}
