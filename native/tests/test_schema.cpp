// Schema inference against a step-by-step reference: the values of each
// position are listed, merged and rendered the plain way, on random records.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/json/reader.hpp"
#include "core/schema/key_hash.hpp"
#include "core/schema/model.hpp"
#include "core/schema/render.hpp"

using namespace qvtok;

namespace {

json::Document parse(const std::string& text) {
    auto doc = json::read_json_text(text);
    CHECK(doc.ok());
    return std::move(doc).value();
}

// The reference: a tree of text, arrays and objects (an ordered map, so a
// name assigned again replaces the earlier key), built from the full list of
// values at each position.
struct Ref {
    enum Form { Text, Array, Object } form = Text;
    std::string text;
    std::vector<Ref> items;
    std::map<std::string, Ref> fields;
};

std::string type_name(json::Kind kind) {
    switch (kind) {
        case json::Kind::Null: return "null";
        case json::Kind::False:
        case json::Kind::True: return "bool";
        case json::Kind::Unsigned:
        case json::Kind::Negative: return "int";
        case json::Kind::Float: return "float";
        default: return "str";
    }
}

Ref infer(const std::vector<json::Value>& values) {
    if (values.empty()) return Ref{Ref::Text, "unknown", {}, {}};
    std::set<std::string> names;
    std::vector<json::Value> elements, objects;
    bool arrays = false;
    for (json::Value v : values) {
        if (v.kind() == json::Kind::Object) {
            objects.push_back(v);
        } else if (v.kind() == json::Kind::Array) {
            arrays = true;
            for (json::Value e : v.elements()) elements.push_back(e);
        } else {
            names.insert(type_name(v.kind()));
        }
    }
    std::vector<Ref> variants;
    if (!names.empty()) {
        std::string joined;
        for (const std::string& n : names) joined += (joined.empty() ? "" : "|") + n;
        variants.push_back(Ref{Ref::Text, joined, {}, {}});
    }
    if (arrays) {
        Ref array{Ref::Array, {}, {}, {}};
        if (!elements.empty()) array.items.push_back(infer(elements));
        variants.push_back(std::move(array));
    }
    if (!objects.empty()) {
        std::vector<std::string> noted;
        std::set<std::string> seen;
        for (json::Value o : objects) {
            for (const json::Member m : o.members()) {
                if (seen.insert(std::string(m.key)).second) noted.emplace_back(m.key);
            }
        }
        Ref object{Ref::Object, {}, {}, {}};
        for (const std::string& key : noted) {
            std::vector<json::Value> held;
            for (json::Value o : objects) {
                for (const json::Member m : o.members()) {
                    if (m.key == key) held.push_back(m.value);
                }
            }
            object.fields[key + (held.size() < objects.size() ? "?" : "")] = infer(held);
        }
        variants.push_back(std::move(object));
    }
    if (variants.size() == 1) return std::move(variants[0]);
    Ref one_of{Ref::Object, {}, {}, {}};
    one_of.fields["__oneof__"] = Ref{Ref::Array, {}, std::move(variants), {}};
    return one_of;
}

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            static const std::map<unsigned char, std::string> kShort = {
                {8, "\\b"}, {9, "\\t"}, {10, "\\n"}, {12, "\\f"}, {13, "\\r"}};
            auto found = kShort.find(c);
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += found != kShort.end() ? found->second : std::string(buf);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string render(const Ref& r, std::size_t level = 0) {
    std::string inner = "\n" + std::string(2 * (level + 1), ' ');
    std::string close = "\n" + std::string(2 * level, ' ');
    switch (r.form) {
        case Ref::Text: return quoted(r.text);
        case Ref::Array: {
            if (r.items.empty()) return "[]";
            std::string out = "[";
            for (std::size_t i = 0; i < r.items.size(); ++i) out += (i ? "," : "") + inner + render(r.items[i], level + 1);
            return out + close + "]";
        }
        case Ref::Object: {
            if (r.fields.empty()) return "{}";
            std::string out = "{";
            bool first = true;
            for (const auto& [name, schema] : r.fields) {
                out += (first ? "" : ",") + inner + quoted(name) + ": " + render(schema, level + 1);
                first = false;
            }
            return out + close + "}";
        }
    }
    return {};
}

std::string reference(const std::vector<json::Document>& docs) {
    std::vector<json::Value> roots;
    for (const json::Document& d : docs) roots.push_back(d.root());
    return render(infer(roots));
}

std::string folded(const std::vector<json::Document>& docs) {
    schema::SchemaBuilder builder;
    for (const json::Document& d : docs) CHECK(builder.add(d.root()));
    return schema::render_schema(builder.finish());
}

std::vector<json::Document> parse_all(const std::vector<std::string>& texts) {
    std::vector<json::Document> docs;
    for (const std::string& t : texts) docs.push_back(parse(t));
    return docs;
}

// Random JSON text from a small set of keys, so that keys repeat across
// objects and positions, some are missing, and "a" meets "a?".
class RandomRecords {
public:
    explicit RandomRecords(std::uint64_t seed) : rng_(seed) {}

    std::string value(int depth) {
        int pick = static_cast<int>(rng_() % (depth >= 4 ? 8 : 11));
        switch (pick) {
            case 0: return "null";
            case 1: return rng_() % 2 ? "true" : "false";
            case 2: return std::to_string(rng_() % 1000);
            case 3: return "-" + std::to_string(1 + rng_() % 1000);
            case 4: return "2.5";
            case 5: return "18446744073709551616";  // beyond 64 bits: a float
            case 6: return "\"s\"";
            case 7: return "\"\\u00e9\"";
            case 8:
            case 9: return object(depth);
            default: return array(depth);
        }
    }

    std::string object(int depth) {
        static const char* const kKeys[] = {"a", "a?", "b", "", "a??", "B", "\\\"", "\\u0001", "\\u00e9", "ab", "a?b"};
        std::string out = "{";
        std::size_t n = rng_() % 5;
        for (std::size_t i = 0; i < n; ++i) {
            if (i) out += ", ";
            out += "\"" + std::string(kKeys[rng_() % std::size(kKeys)]) + "\": " + value(depth + 1);
        }
        return out + "}";
    }

    std::string array(int depth) {
        std::string out = "[";
        std::size_t n = rng_() % 4;
        for (std::size_t i = 0; i < n; ++i) out += (i ? ", " : "") + value(depth + 1);
        return out + "]";
    }

    std::size_t below(std::size_t n) { return rng_() % n; }

private:
    std::mt19937_64 rng_;
};

}  // namespace

TEST(schema_matches_the_step_by_step_merge_on_random_records) {
    RandomRecords random(20240611);
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::string> texts;
        std::size_t n = random.below(8);
        for (std::size_t i = 0; i < n; ++i) texts.push_back(random.below(3) ? random.object(0) : random.value(0));
        auto docs = parse_all(texts);
        std::string want = reference(docs), got = folded(docs);
        if (got != want) {
            std::string records;
            for (const std::string& t : texts) records += t + "\n";
            ::qvtok::test::fail(__FILE__, __LINE__, "records:\n" + records + "got:\n" + got + "\nwant:\n" + want);
            return;
        }
    }
}

TEST(schema_of_nothing_is_unknown) {
    CHECK_EQ(folded({}), std::string("\"unknown\""));
}

TEST(schema_of_the_worked_example) {
    auto docs = parse_all({R"({"id": 1, "tags": ["a", "b"], "meta": {"x": 1.5}})",
                           R"({"id": 2, "tags": [], "meta": null, "extra": true})",
                           R"({"id": "3", "tags": [1]})"});
    CHECK_EQ(folded(docs), std::string("{\n"
                                       "  \"extra?\": \"bool\",\n"
                                       "  \"id\": \"int|str\",\n"
                                       "  \"meta?\": {\n"
                                       "    \"__oneof__\": [\n"
                                       "      \"null\",\n"
                                       "      {\n"
                                       "        \"x\": \"float\"\n"
                                       "      }\n"
                                       "    ]\n"
                                       "  },\n"
                                       "  \"tags\": [\n"
                                       "    \"int|str\"\n"
                                       "  ]\n"
                                       "}"));
}

TEST(schema_name_collisions_go_to_the_key_noted_later) {
    // Keys come out of an object in byte order, so "a" is noted before "a?".
    CHECK_EQ(folded(parse_all({R"({"a": 1, "a?": "x"})", R"({"a?": "y"})"})),
             std::string("{\n  \"a?\": \"str\"\n}"));
    CHECK_EQ(folded(parse_all({R"({"a?": "y"})", R"({"a": 1, "a?": "x"})"})),
             std::string("{\n  \"a?\": \"int\"\n}"));
    // A collision deep down, under arrays, with a union beside it.
    auto docs = parse_all({R"([{"k": [{"a": 1}]}, 5])", R"([{"k": [{"a?": true}, {"a?": null}]}])"});
    CHECK_EQ(folded(docs), reference(docs));
}

TEST(schema_keeps_many_distinct_keys_apart) {
    // Enough keys to grow the shared key table and the node blocks several
    // times, the same key names under different parents, and long keys
    // (multi-byte length prefixes, a key too long for the shared blocks).
    std::mt19937_64 rng(7);
    std::vector<std::string> texts;
    for (int r = 0; r < 300; ++r) {
        std::string text = "{";
        for (int i = 0; i < 40; ++i) {
            std::string key = "k" + std::to_string(rng() % 5000);
            if (i % 13 == 0) key += std::string(rng() % 3 == 0 ? 30000 : 200, 'x');
            text += (i ? ", \"" : "\"") + key + "\": ";
            text += (i % 7 == 0) ? "{\"" + key + "\": [" + std::to_string(i) + ", {\"k1\": 1}]}" : "\"v\"";
        }
        texts.push_back(text + "}");
    }
    auto docs = parse_all(texts);
    CHECK(folded(docs) == reference(docs));
}

TEST(schema_builder_starts_over_after_finish) {
    auto first = parse_all({R"({"a": 1})"});
    auto second = parse_all({R"([true])"});
    schema::SchemaBuilder builder;
    CHECK(builder.add(first[0].root()));
    schema::Schema one = builder.finish();
    CHECK(builder.add(second[0].root()));
    // The first result is unaffected by what the builder took in after it.
    CHECK_EQ(schema::render_schema(one), std::string("{\n  \"a\": \"int\"\n}"));
    CHECK_EQ(schema::render_schema(builder.finish()), std::string("[\n  \"bool\"\n]"));
    CHECK_EQ(schema::render_schema(builder.finish()), std::string("\"unknown\""));
}

namespace {
int checks_asked = 0;
int checks_before_stop = 0;
// Says "stop" at its `checks_before_stop`-th call.
int counting_check() { return ++checks_asked == checks_before_stop ? 1 : 0; }
}  // namespace

TEST(schema_builder_asks_its_check_through_one_record_and_across_many) {
    // One record of 200,001 values, then 20,000 records of 9 values each:
    // the check is asked within the large record and between small ones.
    std::string big = "[";
    for (int i = 0; i < 100000; ++i) big += i ? ",{\"a\":1}" : "{\"a\":1}";
    auto large = parse_all({big + "]"});
    auto small = parse_all({R"({"a": [1, 2, 3], "b": {"c": null, "d": "x"}, "e": true})"});
    checks_asked = 0;
    checks_before_stop = 0;
    schema::SchemaBuilder builder(counting_check);
    CHECK(builder.add(large[0].root()));
    const int within = checks_asked;
    for (int r = 0; r < 20000; ++r) CHECK(builder.add(small[0].root()));
    // A check per 65,536 values: 3 within the 200,001 values, 2 more over
    // the 180,000 after.
    CHECK_EQ(within, 3);
    CHECK_EQ(checks_asked, 5);
    // The fold of a record goes on as if nothing were checked.
    CHECK(schema::render_schema(builder.finish()).find("\"e\": \"bool\"") != std::string::npos);
}

TEST(schema_builder_stops_inside_a_record_when_its_check_says_so) {
    std::string big = "[";
    for (int i = 0; i < 300000; ++i) big += i ? ",1" : "1";
    auto docs = parse_all({big + "]"});
    checks_asked = 0;
    checks_before_stop = 2;
    schema::SchemaBuilder builder(counting_check);
    CHECK(!builder.add(docs[0].root()));
    CHECK_EQ(checks_asked, 2);  // stopped at once, not at the record's end
}

namespace {

std::uint64_t inverse(std::uint64_t odd) {
    std::uint64_t x = odd;
    for (int i = 0; i < 6; ++i) x *= 2 - odd * x;
    return x;
}

// x from x ^ (x >> shift).
std::uint64_t unshift(std::uint64_t y, int shift) {
    std::uint64_t x = y;
    for (int i = 0; i < 64 / shift; ++i) x = y ^ (x >> shift);
    return x;
}

// An object of `n` 8-byte keys that all fall on one slot of a table keyed
// by key_hash with seed 0 (the root's keys, position 0): the hash run
// backwards from chosen values to the keys, kept where every byte can be
// written in JSON (below 0x80, escaped where it must be).
std::string colliding_object(std::size_t n) {
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull, kFinal = 0xFF51AFD7ED558CCDull;
    const std::uint64_t start = std::uint64_t{0x5bd1e995u} ^ (8 * kMul);
    std::string text = "{";
    std::size_t made = 0;
    for (std::uint64_t i = 0; made < n; ++i) {
        std::uint64_t h = unshift((i << 32) | 0x1234, 33) * inverse(kFinal);
        const std::uint64_t word = (unshift(unshift(h, 33), 29) * inverse(kMul)) ^ start;
        std::string key(8, '\0');
        std::memcpy(key.data(), &word, 8);
        bool writable = true;
        for (char c : key) writable = writable && c > 0 && static_cast<unsigned char>(c) < 0x80;
        if (!writable) continue;
        CHECK_EQ(schema::key_hash(0, key, 0), 0x1234u);
        text += made++ ? ",\"" : "\"";
        for (char c : key) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            text += c < 0x20 || c == '"' || c == '\\' ? std::string(escaped) : std::string(1, c);
        }
        text += "\":1";
    }
    return text + "}";
}

// The least time of a few folds of `record`, in seconds.
double fold_time(json::Value record) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        schema::SchemaBuilder builder;
        CHECK(builder.add(record));
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        CHECK_EQ(schema::render_schema(builder.finish()).size() > 4000 * 12, true);
    }
    return best;
}

}  // namespace

TEST(schema_keys_made_to_share_a_slot_fold_as_fast_as_others) {
    constexpr std::size_t n = 4000;
    auto crafted = parse_all({colliding_object(n)});
    std::string plain = "{";
    for (std::size_t i = 0; i < n; ++i) plain += (i ? ",\"k" : "\"k") + std::to_string(1000000 + i) + "\":1";
    auto ordinary = parse_all({plain + "}"});
    CHECK_EQ(crafted[0].root().size(), n);
    // On one slot they would fold in time growing with the square of their
    // number, some hundred times the ordinary keys' time here.
    const double fair = fold_time(ordinary[0].root());
    const double attacked = fold_time(crafted[0].root());
    CHECK(attacked < 10 * fair + 0.001);
}
