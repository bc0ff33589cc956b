// JSON Pointers, and the records a stream finds at them.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/json/reader.hpp"
#include "core/records/pointer.hpp"
#include "stream_support.hpp"

using namespace qvtok;
using records::RecordFormat;
using test::at;
using test::texts_of;

namespace {

std::string segments(std::string_view text) {
    auto p = records::parse_pointer(text);
    if (!p) return "invalid";
    std::string out;
    for (const auto& s : p.value().segments) out += "<" + (s.any ? std::string("*") : s.name) + ">";
    return out;
}

constexpr int kNoMatch = static_cast<int>(ErrorCode::NoMatch);
constexpr int kInvalidJson = static_cast<int>(ErrorCode::InvalidJson);
constexpr int kInvalidElement = static_cast<int>(ErrorCode::InvalidElement);

}  // namespace

TEST(pointers_unescape_their_segments) {
    CHECK_EQ(segments(""), std::string(""));
    CHECK_EQ(segments("/"), std::string("<>"));
    CHECK_EQ(segments("/a/b"), std::string("<a><b>"));
    CHECK_EQ(segments("/a~1b/m~0n"), std::string("<a/b><m~n>"));
    CHECK_EQ(segments("/~01"), std::string("<~1>"));
    CHECK_EQ(segments("/*/x"), std::string("<*><x>"));
    CHECK_EQ(segments("//"), std::string("<><>"));
    CHECK_EQ(segments("/0"), std::string("<0>"));
    auto star = records::parse_pointer("/a*");
    CHECK(star.ok() && !star.value().segments[0].any);
    auto escaped_star = records::parse_pointer("/*~0");
    CHECK(escaped_star.ok() && !escaped_star.value().segments[0].any);
}

TEST(pointers_that_are_not_pointers_are_refused) {
    for (const char* bad : {"a", "a/b", "/~", "/~2", "/a~", "/~a", "#/a"}) {
        auto p = records::parse_pointer(bad);
        CHECK(!p.ok());
        if (!p.ok()) {
            CHECK(p.error().code == ErrorCode::InvalidPointer);
            CHECK_EQ(p.error().subject, std::string(bad));
        }
    }
}

TEST(segment_indexes_are_plain_decimals) {
    CHECK_EQ(records::segment_index("0"), 0ull);
    CHECK_EQ(records::segment_index("17"), 17ull);
    CHECK_EQ(records::segment_index("01"), records::kNoIndex);
    CHECK_EQ(records::segment_index("-1"), records::kNoIndex);
    CHECK_EQ(records::segment_index(""), records::kNoIndex);
    CHECK_EQ(records::segment_index("1e2"), records::kNoIndex);
    CHECK_EQ(records::segment_index("99999999999999999999"), records::kNoIndex);
}

TEST(records_are_the_members_of_the_named_array) {
    std::string doc = R"({"type": "x", "meta": {"a": [1, {"features": 2}], "b": "]}"}, "features": [1, {"b": 2, "a": [3]}, "s"], "tail": {}})";
    CHECK_EQ(texts_of(doc, RecordFormat::Json, at("/features")), std::string(R"(1 | {"a":[3],"b":2} | "s")"));
    CHECK_EQ(texts_of(doc, RecordFormat::Json, at("/meta/a")), std::string(R"(1 | {"features":2})"));
    CHECK_EQ(texts_of(doc, RecordFormat::Json, at("/features/1/a")), std::string("3"));
    // Absent and empty pointers: the document itself (not an array here).
    CHECK_EQ(texts_of(doc, RecordFormat::Json, at("")), texts_of(doc, RecordFormat::Json, {}));
}

TEST(records_of_an_object_carry_their_keys) {
    std::string doc = R"({"m": {"b": 1, "a\u0041": [2], "c\"d": {"x": null}, "": "e"}})";
    CHECK_EQ(texts_of(doc, RecordFormat::Json, at("/m")), std::string(R"(b=1 | aA=[2] | c"d={"x":null} | ="e")"));
    CHECK_EQ(texts_of(doc, RecordFormat::Json, at("/m", false)),
             std::string(R"(raw:b=1 | raw:aA=[2] | raw:c"d={"x": null} | raw:="e")"));
    // Keys on the way are compared unescaped.
    CHECK_EQ(texts_of(R"({"a\/b": [7]})", RecordFormat::Json, at("/a~1b")), std::string("7"));
    CHECK_EQ(texts_of(R"({"\u007e": [8]})", RecordFormat::Json, at("/~0")), std::string("8"));
    CHECK_EQ(texts_of(R"({"": {"": [9]}})", RecordFormat::Json, at("//")), std::string("9"));
}

TEST(wildcards_descend_into_every_member) {
    std::string doc = R"({"a": [[1, 2], [], [3]], "b": {"x": {"k": [4]}, "y": 5, "z": {"k": [6, 7]}}})";
    CHECK_EQ(texts_of(doc, RecordFormat::Json, at("/a/*")), std::string("1 | 2 | blank | 3"));
    CHECK_EQ(texts_of(doc, RecordFormat::Json, at("/b/*/k")), std::string("4 | 6 | 7"));
    CHECK_EQ(texts_of(doc, RecordFormat::Json, at("/*")), std::string("[1,2] | [] | [3] | x={\"k\":[4]} | y=5 | z={\"k\":[6,7]}"));
}

TEST(index_segments_pick_one_element) {
    std::string doc = R"([[0], {"k": [1]}, [2, 3], {"0": [4]}])";
    CHECK_EQ(texts_of(doc, RecordFormat::Json, at("/2")), std::string("2 | 3"));
    CHECK_EQ(texts_of(doc, RecordFormat::Json, at("/1/k")), std::string("1"));
    CHECK_EQ(texts_of(doc, RecordFormat::Json, at("/3/0")), std::string("4"));
}

TEST(a_pointer_that_matches_nothing_is_an_error) {
    auto stream = test::open_stream(R"({"a": {"b": 1}, "c": []})", RecordFormat::Json, at("/a/b/c"));
    auto steps = test::run(stream);
    CHECK_EQ(steps.size(), std::size_t(1));
    CHECK(!steps[0].ok);
    CHECK(steps[0].error.code == ErrorCode::NoMatch);
    CHECK_EQ(steps[0].error.subject, std::string("/a/b/c"));
    CHECK_EQ(steps[0].error.column, 2ull);
    for (const char* p : {"/x", "/a/x", "/5", "/c/0"}) {
        auto got = texts_of(R"({"a": {"b": 1}, "c": []})", RecordFormat::Json, at(p));
        CHECK_EQ(got.substr(0, 9), "error:" + std::to_string(kNoMatch) + "@");
    }
    CHECK_EQ(texts_of("  7 ", RecordFormat::Json, at("/a")), std::string("error:" + std::to_string(kNoMatch) + "@2 1:3 #0"));
    // An empty container matches: no records, no error.
    CHECK_EQ(texts_of(R"({"c": []})", RecordFormat::Json, at("/c")), std::string("blank"));
    // An empty file holds no document.
    CHECK_EQ(texts_of("  ", RecordFormat::Json, at("/c")), std::string(""));
}

TEST(faults_around_the_records_end_the_walk) {
    const std::string json = std::to_string(kInvalidJson);
    CHECK_EQ(texts_of(R"({"a" 1, "f": [1]})", RecordFormat::Json, at("/f")), "error:" + json + "@5 1:6 #0");
    CHECK_EQ(texts_of(R"({"a": [1]], "f": [1]})", RecordFormat::Json, at("/f")), "error:" + json + "@9 1:10 #0");
    CHECK_EQ(texts_of(R"({"a": , "f": [1]})", RecordFormat::Json, at("/a/b")), "error:" + json + "@6 1:7 #0");
    // A value that is passed over is only followed, not checked: its
    // brackets need only balance.
    CHECK_EQ(texts_of(R"({"a": [1}, "f": [1]})", RecordFormat::Json, at("/f")), std::string("1"));
    CHECK_EQ(texts_of(R"({"f": [1, 2])", RecordFormat::Json, at("/f")), "1 | 2 | error:" + json + "@12 1:13 #2");
    CHECK_EQ(texts_of(R"({"f": [1, 2]} x)", RecordFormat::Json, at("/f")), "1 | 2 | error:" + json + "@14 1:15 #2");
    CHECK_EQ(texts_of(R"({"f": [1, 2}})", RecordFormat::Json, at("/f")),
             "1 | error:" + std::to_string(kInvalidElement) + "@11 1:12 #1");
    CHECK_EQ(texts_of(R"({"f": {"a": 1]}})", RecordFormat::Json, at("/f")),
             "error:" + std::to_string(kInvalidElement) + "@13 1:14 #0");
    // A bad member of a named object is an error for that member only.
    CHECK_EQ(texts_of(R"({"f": {"a": 1, 2, "b": x, "c": 3}})", RecordFormat::Json, at("/f")),
             "a=1 | error:" + std::to_string(kInvalidElement) + "@15 1:16 #1 | error:" +
                 std::to_string(kInvalidElement) + "@23 1:24 #2 | c=3");
}

TEST(jsonl_lines_are_walked_one_by_one) {
    std::string text = "{\"f\": [1, 2]}\n\n  {\"f\": {\"k\": 3}}  \n{\"g\": 1}\n{\"f\": [4]} x\n{\"f\": [5]}";
    const std::string line = std::to_string(static_cast<int>(ErrorCode::InvalidLine));
    CHECK_EQ(texts_of(text, RecordFormat::Jsonl, at("/f")),
             "1 | 2 | k=3 | error:" + std::to_string(kNoMatch) + "@35 4:1 #3 | 4 | error:" + line + "@55 5:12 #4 | 5");
    CHECK_EQ(texts_of(text, RecordFormat::Jsonl, at("/f", false)),
             "raw:1 | raw:2 | raw:k=3 | error:" + std::to_string(kNoMatch) + "@35 4:1 #3 | raw:4 | error:" + line +
                 "@55 5:12 #4 | raw:5");
}

namespace {

// A random value with random white space, its text appended to `out`.
void random_value(std::mt19937& rng, int depth, std::string& out) {
    auto ws = [&] {
        static const char* spaces[] = {"", "", " ", "\n", "\t ", "\r\n  "};
        out += spaces[rng() % 6];
    };
    static const char* keys[] = {"a", "b", "f", "a\\u0062", "\\\"q", "k\\/x", "", "f\\\\"};
    static const char* scalars[] = {"1", "-2.5", "\"s\"", "\"]}\\\"[{,\"", "true", "null", "1e3", "\"\\u00e9\""};
    unsigned pick = rng() % 10;
    if (depth > 4 || pick < 4) {
        out += scalars[rng() % 8];
        return;
    }
    bool object = pick < 7;
    out += object ? '{' : '[';
    unsigned n = rng() % 4;
    std::vector<std::string> used;
    for (unsigned i = 0; i < n; ++i) {
        if (i) out += ',';
        ws();
        if (object) {
            // Distinct keys, so that the reader keeps every member.
            std::string key;
            do key = keys[rng() % 8];
            while (std::find(used.begin(), used.end(), key) != used.end() && used.size() < 8);
            if (std::find(used.begin(), used.end(), key) != used.end()) break;
            used.push_back(key);
            out += "\"" + key + "\"";
            ws();
            out += ':';
            ws();
        }
        random_value(rng, depth + 1, out);
        ws();
    }
    out += object ? '}' : ']';
}

// The members the pointer names, found in a parsed document.
void members_at(const json::Value& v, const records::Pointer& p, std::size_t level, std::vector<std::string>& out) {
    bool container = v.kind() == json::Kind::Array || v.kind() == json::Kind::Object;
    if (!container) return;
    if (level == p.segments.size()) {
        if (v.kind() == json::Kind::Array) {
            for (json::Value e : v.elements()) out.push_back(test::show(e));
        } else {
            for (json::Member m : v.members()) out.push_back(std::string(m.key) + "=" + test::show(m.value));
        }
        return;
    }
    const records::PointerSegment& seg = p.segments[level];
    if (v.kind() == json::Kind::Array) {
        std::uint64_t i = 0, want = records::segment_index(seg.name);
        for (json::Value e : v.elements()) {
            if (seg.any || i == want) members_at(e, p, level + 1, out);
            ++i;
        }
    } else {
        for (json::Member m : v.members())
            if (seg.any || m.key == seg.name) members_at(m.value, p, level + 1, out);
    }
}

}  // namespace

TEST(records_at_a_pointer_match_a_walk_of_the_parsed_document) {
    std::mt19937 rng(1234);
    const char* pointers[] = {"/f", "/*", "/0", "/*/f", "/a/*", "/ab", "/*/*", "/\"q", "/k~1x", "/f\\", "/1/*"};
    int compared = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string doc;
        random_value(rng, 0, doc);
        auto parsed = json::read_json_text(doc);
        if (!parsed) continue;
        const char* ptext = pointers[rng() % (sizeof pointers / sizeof *pointers)];
        auto pointer = records::parse_pointer(ptext).value();
        std::vector<std::string> expected;
        members_at(parsed.value().root(), pointer, 0, expected);
        std::sort(expected.begin(), expected.end());
        auto stream = test::open_stream(doc, RecordFormat::Json, at(ptext), 1 + rng() % 7);
        auto steps = test::run(stream);
        std::vector<std::string> got;
        bool no_match = false;
        for (const auto& s : steps) {
            if (!s.ok) {
                no_match = s.error.code == ErrorCode::NoMatch;
                CHECK(no_match);
                continue;
            }
            if (s.text != "blank") got.push_back(s.text);
        }
        std::sort(got.begin(), got.end());
        if (got != expected) {
            std::string g, e;
            for (auto& x : got) g += x + " ; ";
            for (auto& x : expected) e += x + " ; ";
            test::fail(__FILE__, __LINE__, std::string(ptext) + " on " + doc + "\n got: " + g + "\n expected: " + e);
        }
        if (no_match) CHECK(expected.empty());
        // The same document on each of two JSONL lines gives its records twice.
        std::string line = doc;
        std::replace(line.begin(), line.end(), '\n', ' ');
        auto lines = test::open_stream(line + "\n\n" + line, RecordFormat::Jsonl, at(ptext), 1 + rng() % 7);
        std::vector<std::string> twice;
        for (const auto& s : test::run(lines))
            if (s.ok && s.text != "blank") twice.push_back(s.text);
        std::vector<std::string> want_twice = expected;
        want_twice.insert(want_twice.end(), expected.begin(), expected.end());
        std::sort(twice.begin(), twice.end());
        std::sort(want_twice.begin(), want_twice.end());
        if (twice != want_twice) test::fail(__FILE__, __LINE__, std::string("JSONL ") + ptext + " on " + line);
        ++compared;
    }
    CHECK(compared > 1000);
}

TEST(a_cut_inside_the_named_container_may_end_the_records_quietly) {
    records::StreamRules rules = at("/f");
    rules.allow_unclosed_array = true;
    CHECK_EQ(texts_of(R"({"f": [1, 2, 3)", RecordFormat::Json, rules), std::string("1 | 2"));
    CHECK_EQ(texts_of(R"({"f": [1, 2, 3)", RecordFormat::Json, at("/f")),
             "1 | 2 | error:" + std::to_string(kInvalidJson) + "@14 1:15 #2");
}
