// The reader with a sink against the reader with a tape: the same values in
// the same order, the same errors, and a sink that stops the read stops it.
#include "core/json/grammar.hpp"
#include "sink_support.hpp"

using namespace qvtok;
using test::RecordingSink;


TEST(a_sink_is_handed_what_the_tape_holds_and_fails_where_it_fails) {
    std::mt19937_64 rng(20261208);
    int broken = 0;
    for (int round = 0; round < 6000; ++round) {
        std::string text = test::random_text(rng, 0);
        if (round % 3 == 0) test::mutate(rng, text);
        auto doc = json::read_json_text(text, json::kJsonModuleOptions);
        RecordingSink expected, got;
        std::optional<json::JsonParseError> doc_error;
        if (doc.ok()) test::record(doc.value().root(), expected);
        else doc_error = doc.error();
        auto sink_error = json::read_json_into(text, got, json::kJsonModuleOptions, nullptr);
        CHECK(test::outcome_of(sink_error) == test::outcome_of(doc_error));
        if (doc.ok()) CHECK(got.out == expected.out);
        if (test::outcome_of(sink_error) != test::outcome_of(doc_error) || (doc.ok() && got.out != expected.out)) {
            std::fprintf(stderr, "text: %s\ntape: %s\nsink: %s\n", text.c_str(), expected.out.c_str(), got.out.c_str());
            return;
        }
        broken += !doc.ok();
    }
    CHECK(broken > 1000);
}

TEST(a_sink_takes_the_value_at_the_front_as_a_document_does) {
    std::mt19937_64 rng(8122026);
    static const char* const kAfter[] = {",", "]", " , ", "\n]", "", "x"};
    int taken = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text = test::random_text(rng, 0);
        if (round % 4 == 0) test::mutate(rng, text);
        text = std::string(rng() % 3, ' ') + text + kAfter[rng() % std::size(kAfter)];
        json::ReaderScratch scratch;
        json::Document doc;
        auto front = json::read_json_front(text, scratch, json::kJsonModuleOptions, doc);
        RecordingSink got;
        bool stopped = true;
        auto sink_front = json::read_json_front_into(text, got, json::kJsonModuleOptions, stopped);
        CHECK(!stopped);
        CHECK_EQ(front.has_value(), sink_front.has_value());
        if (!front || !sink_front) continue;
        ++taken;
        CHECK_EQ(front->value_begin, sink_front->value_begin);
        CHECK_EQ(front->value_end, sink_front->value_end);
        CHECK_EQ(front->next, sink_front->next);
        RecordingSink expected;
        test::record(doc.root(), expected);
        CHECK(got.out == expected.out);
    }
    CHECK(taken > 1000);
}

TEST(a_sink_that_refuses_a_value_stops_the_read_there) {
    const std::string text = R"({"a": [1, "x", {"b": null}], "c": -2.5, "d": "\u00e9"})";
    RecordingSink all;
    CHECK(!json::read_json_into(text, all, json::kJsonModuleOptions, nullptr));
    CHECK(all.events > 8);
    for (long stop = 0; stop < all.events; ++stop) {
        RecordingSink sink;
        sink.stop_at = stop;
        auto e = json::read_json_into(text, sink, json::kJsonModuleOptions, nullptr);
        CHECK(e.has_value() && e->interrupted);
        CHECK_EQ(sink.events, stop + 1);  // nothing is handed over after the refusal
        RecordingSink front_sink;
        front_sink.stop_at = stop;
        bool stopped = false;
        CHECK(!json::read_json_front_into(text + ",", front_sink, json::kJsonModuleOptions, stopped));
        CHECK(stopped);
    }
}
