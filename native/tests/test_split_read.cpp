// A text read on a thread of its own and handed over through the ring: the
// same values in the same order as the reader hands a sink on one thread,
// the same errors, and a read that either side stops ends at once.
#include <chrono>
#include <thread>

#include "core/json/grammar.hpp"
#include "core/json/split_read.hpp"
#include "sink_support.hpp"

using namespace qvtok;
using test::RecordingSink;

namespace {

std::optional<json::JsonParseError> split_read(const std::string& text, RecordingSink& sink,
                                               json::InterruptCheck check = nullptr) {
    auto split = json::SplitRead::start(text, json::kJsonModuleOptions);
    CHECK(split != nullptr);
    return split->replay(sink, check);
}

// Random values in one array, large enough for the ring to come round many
// times, with escaped strings throughout (which the thread decodes aside).
std::string large_text(std::mt19937_64& rng, std::size_t bytes) {
    std::string text = "[";
    while (text.size() < bytes) text += test::random_text(rng, 0) + ",\n";
    return text + "\"\\u00e9\\ud83d\\ude00 end\"]";
}

// Slows the building side now and then, so that the reading side fills the
// ring and has to wait for room.
struct SlowSink : RecordingSink {
    bool close_object(std::size_t n) {
        if (events % 5000 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return RecordingSink::close_object(n);
    }
};

}  // namespace

TEST(a_split_read_hands_over_what_one_thread_would_and_fails_where_it_would) {
    std::mt19937_64 rng(7122026);
    int broken = 0;
    std::size_t numbered = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text = test::random_text(rng, 0);
        if (round % 3 == 0) test::mutate(rng, text);
        RecordingSink expected, got;
        auto want = json::read_json_into(text, expected, json::kJsonModuleOptions, nullptr);
        auto fault = split_read(text, got);
        CHECK(test::outcome_of(fault) == test::outcome_of(want));
        // Of bytes that are no UTF-8 (which a load refuses before it builds
        // anything) the characters handed over mean nothing.
        const bool comparable = !want && json::is_valid_utf8(text);
        if (comparable) CHECK(got.out == expected.out);
        if (test::outcome_of(fault) != test::outcome_of(want) || (comparable && got.out != expected.out)) {
            std::fprintf(stderr, "text: %s\none thread: %s\nsplit: %s\n", text.c_str(), expected.out.c_str(),
                         got.out.c_str());
            return;
        }
        broken += want.has_value();
        numbered += got.ids.size();
    }
    CHECK(broken > 500);
    CHECK(numbered > 1000);  // keys came numbered, and kept to the rule
}

TEST(a_split_read_of_a_text_far_larger_than_its_ring_loses_nothing) {
    std::mt19937_64 rng(8122026);
    const std::string text = large_text(rng, 6u << 20);
    RecordingSink expected;
    CHECK(!json::read_json_into(text, expected, json::kJsonModuleOptions, nullptr));
    CHECK(expected.events > 3 * static_cast<long>(json::EventRing::kCapacity));
    RecordingSink fast;
    CHECK(!split_read(text, fast));
    CHECK(fast.out == expected.out);
    SlowSink slow;
    CHECK(!split_read(text, slow));
    CHECK(slow.out == expected.out);
    // An error far into the text comes after every value before it.
    std::string broken = text;
    broken.insert(broken.size() - 30, "]");
    RecordingSink one, split;
    auto want = json::read_json_into(broken, one, json::kJsonModuleOptions, nullptr);
    auto fault = split_read(broken, split);
    CHECK(want.has_value());
    CHECK(test::outcome_of(fault) == test::outcome_of(want));
    CHECK(split.out == one.out);
}

namespace {

int refuse() { return 1; }

}  // namespace

TEST(a_split_read_stops_when_its_sink_refuses_or_its_check_says_so) {
    std::mt19937_64 rng(9122026);
    const std::string text = large_text(rng, 2u << 20);
    for (long stop : {0L, 1L, 100L, 70000L, 200000L}) {
        RecordingSink sink;
        sink.stop_at = stop;
        auto fault = split_read(text, sink);
        CHECK(fault.has_value() && fault->interrupted);
        CHECK_EQ(sink.events, stop + 1);  // nothing is handed over after the refusal
    }
    // The check is asked every so many values while there are values, and
    // while the building side waits for the reading side.
    RecordingSink checked;
    auto fault = split_read(text, checked, refuse);
    CHECK(fault.has_value() && fault->interrupted);
    CHECK(checked.events < 70000);
}

TEST(floats_converted_on_the_building_side_equal_those_the_reader_converts) {
    // Literals of every length of significand, with and without fraction
    // and exponent, around the edges of the range that is handed over as
    // parts: each must come out the double the one-thread read makes.
    std::mt19937_64 rng(10122026);
    std::string text = "[";
    for (int i = 0; i < 200000; ++i) {
        if (i) text += ',';
        if (rng() % 2) text += '-';
        const int digits = 1 + static_cast<int>(rng() % 20);
        std::string d;
        for (int k = 0; k < digits; ++k) d += static_cast<char>('0' + rng() % 10);
        if (rng() % 4 == 0) d.replace(0, std::min<std::size_t>(d.size(), 1 + rng() % 3), "0");
        while (d.size() > 1 && d[0] == '0') d.erase(0, 1);
        const std::size_t point = rng() % (d.size() + 1);
        if (point < d.size() && point > 0) d.insert(point, ".");
        text += d;
        if (rng() % 2) text += "e" + std::to_string(static_cast<int>(rng() % 70) - 35);
    }
    text += "]";
    RecordingSink expected, got;
    CHECK(!json::read_json_into(text, expected, json::kJsonModuleOptions, nullptr));
    CHECK(!split_read(text, got));
    CHECK(got.out == expected.out);
}

TEST(two_split_reads_at_once_keep_to_their_own_texts) {
    // Each has its ring (one of them kept from the reads before, one new),
    // and a thread of its own beside the parked one.
    std::mt19937_64 rng(11122026);
    const std::string a = large_text(rng, 1u << 20), b = large_text(rng, 1u << 20);
    RecordingSink want_a, want_b;
    CHECK(!json::read_json_into(a, want_a, json::kJsonModuleOptions, nullptr));
    CHECK(!json::read_json_into(b, want_b, json::kJsonModuleOptions, nullptr));
    for (int round = 0; round < 3; ++round) {
        auto first = json::SplitRead::start(a, json::kJsonModuleOptions);
        auto second = json::SplitRead::start(b, json::kJsonModuleOptions);
        CHECK(first != nullptr && second != nullptr);
        RecordingSink got_b, got_a;
        CHECK(!second->replay(got_b, nullptr));
        CHECK(!first->replay(got_a, nullptr));
        CHECK(got_a.out == want_a.out);
        CHECK(got_b.out == want_b.out);
    }
}

namespace {

// Lags far behind the reading side: a pause every few strings.
struct LaggingSink : RecordingSink {
    bool units(const void* units, json::Utf8Shape shape) {
        if (events % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return RecordingSink::units(units, shape);
    }
};

}  // namespace

TEST(decoded_strings_stay_whole_until_the_building_side_has_them) {
    // Long non-ASCII and escaped strings, many times the room of one block
    // of decoded characters while the building side lags: no block may be
    // filled again while an event it has not replayed points into it.
    std::mt19937_64 rng(12122026);
    const char* pieces[] = {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "a", "\\n", "\\u00e9", "\\ud83d\\ude00"};
    std::string text = "[";
    for (int i = 0; i < 2000; ++i) {
        text += i ? ",\"" : "\"";
        const int n = 50 + static_cast<int>(rng() % 1500);
        for (int k = 0; k < n; ++k) text += pieces[rng() % 7];
        text += '"';
    }
    text += "]";
    RecordingSink expected;
    CHECK(!json::read_json_into(text, expected, json::kJsonModuleOptions, nullptr));
    LaggingSink lagging;
    CHECK(!split_read(text, lagging));
    CHECK(lagging.out == expected.out);
}
