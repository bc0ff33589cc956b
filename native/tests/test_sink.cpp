// The reader with a sink against the reader with a tape: the same values in
// the same order, the same errors, and a sink that stops the read stops it.
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <string>

#include "check.hpp"
#include "core/json/grammar.hpp"
#include "core/json/reader.hpp"

using namespace qvtok;

namespace {

// Every value as one token, containers after their contents: the order in
// which a sink is handed them.
struct RecordingSink {
    std::string out;
    long stop_at = -1;  // the event that returns false; -1: none
    long events = 0;

    bool note(const std::string& token) {
        out += token;
        out += ' ';
        return events++ != stop_at;
    }
    bool literal(json::Kind k) { return note(k == json::Kind::Null ? "n" : k == json::Kind::True ? "t" : "f"); }
    bool unsigned_int(std::uint64_t v) { return note("u" + std::to_string(v)); }
    bool negative_int(std::int64_t v) { return note("i" + std::to_string(v)); }
    bool floating(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        return note("d" + std::to_string(bits));
    }
    bool big_int(std::string_view literal) { return note("B" + std::string(literal)); }
    bool string(std::string_view bytes, bool ascii) { return note("s" + std::string(bytes) + (ascii ? "/a" : "/u")); }
    bool key(std::string_view bytes, bool ascii) { return note("k" + std::string(bytes) + (ascii ? "/a" : "/u")); }
    bool close_array(std::size_t n) { return note("A" + std::to_string(n)); }
    bool close_object(std::size_t n) { return note("O" + std::to_string(n)); }
};

// The same tokens from a document read onto a tape.
void record(json::Value v, RecordingSink& sink) {
    switch (v.kind()) {
        case json::Kind::Null:
        case json::Kind::False:
        case json::Kind::True: sink.literal(v.kind()); break;
        case json::Kind::Unsigned: sink.unsigned_int(v.as_unsigned()); break;
        case json::Kind::Negative: sink.negative_int(v.as_negative()); break;
        case json::Kind::Float: sink.floating(v.as_float()); break;
        case json::Kind::BigInt: sink.big_int(v.str()); break;
        case json::Kind::String: sink.string(v.str(), v.is_ascii()); break;
        case json::Kind::Array:
            for (json::Value e : v.elements()) record(e, sink);
            sink.close_array(v.size());
            break;
        case json::Kind::Object:
            for (json::Member m : v.members()) {
                sink.key(m.key, m.key_ascii);
                record(m.value, sink);
            }
            sink.close_object(v.size());
            break;
    }
}

std::string random_text(std::mt19937_64& rng, int depth) {
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    static const char* const kStrings[] = {"a", "", "\\u00e9x", "\\u0061", "b\\\"", "tab\\tand\\n", "\xc3\xa9",
                                           "\\ud83d\\ude00", "long_key_with_a_tail_past_sixteen", "\\\\"};
    static const char* const kNumbers[] = {"0", "-0", "-0.0", "7", "-7", "18446744073709551615",
                                           "18446744073709551616", "-9223372036854775809", "1e3", "2.5E-3",
                                           "-65.613616999999977", "123456789012345678901234567890"};
    std::size_t choice = pick(depth < 4 ? 6 : 3);
    if (choice == 0) return kNumbers[pick(std::size(kNumbers))];
    if (choice == 1) return pick(2) ? "null" : (pick(2) ? "true" : "false");
    if (choice == 2) return std::string("\"") + kStrings[pick(std::size(kStrings))] + "\"";
    if (choice == 3) {
        std::string out = "[";
        for (std::size_t i = 0, n = pick(5); i < n; ++i) out += (i ? ", " : "") + random_text(rng, depth + 1);
        return out + "]";
    }
    std::string out = "{";
    for (std::size_t i = 0, n = pick(8); i < n; ++i)
        out += std::string(i ? ",\n " : "") + "\"" + kStrings[pick(std::size(kStrings))] + "\": " +
               random_text(rng, depth + 1);
    return out + "}";
}

std::string outcome_of(const std::optional<json::JsonParseError>& e) {
    if (!e) return "ok";
    return std::to_string(static_cast<int>(e->syntax)) + " at " + std::to_string(e->line) + ":" +
           std::to_string(e->column) + " offset " + std::to_string(e->offset) + (e->interrupted ? " stopped" : "");
}

void mutate(std::mt19937_64& rng, std::string& text) {
    static const char kBytes[] = "{}[],:\"\\ 0-1e.E+tnfu\x01";
    if (text.empty()) return;
    std::size_t at = rng() % text.size();
    switch (rng() % 3) {
        case 0: text.erase(at, 1); break;
        case 1: text.insert(at, 1, text[at]); break;
        default: text[at] = kBytes[rng() % (sizeof kBytes - 1)]; break;
    }
}

}  // namespace

TEST(a_sink_is_handed_what_the_tape_holds_and_fails_where_it_fails) {
    std::mt19937_64 rng(20261208);
    int broken = 0;
    for (int round = 0; round < 6000; ++round) {
        std::string text = random_text(rng, 0);
        if (round % 3 == 0) mutate(rng, text);
        auto doc = json::read_json_text(text, json::kJsonModuleOptions);
        RecordingSink expected, got;
        std::optional<json::JsonParseError> doc_error;
        if (doc.ok()) record(doc.value().root(), expected);
        else doc_error = doc.error();
        auto sink_error = json::read_json_into(text, got, json::kJsonModuleOptions, nullptr);
        CHECK(outcome_of(sink_error) == outcome_of(doc_error));
        if (doc.ok()) CHECK(got.out == expected.out);
        if (outcome_of(sink_error) != outcome_of(doc_error) || (doc.ok() && got.out != expected.out)) {
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
        std::string text = random_text(rng, 0);
        if (round % 4 == 0) mutate(rng, text);
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
        record(doc.root(), expected);
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
