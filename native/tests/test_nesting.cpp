// Deep nesting: every way of reading takes a text as deep as its options
// allow and refuses the bracket one level deeper, at that bracket; and the
// reader and the schema fold walk a value without the thread's stack
// growing with its depth.
#include <pthread.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/json/grammar.hpp"
#include "core/schema/model.hpp"
#include "sink_support.hpp"

using namespace qvtok;
using json::Syntax;
using test::RecordingSink;

namespace {

// `depth` containers, each holding the next after a sibling value, with 7
// at the bottom and a sibling after each close: [{"a":[{"a":7},1],"b":2},...].
// Arrays and objects alternate from the outside, `object_first` choosing
// the first. The bytes before the n-th opening bracket are known, so an
// error can be placed.
struct Nest {
    std::string text;
    std::vector<std::size_t> opens;  // offset of each opening bracket, outermost first
};

Nest nest(unsigned depth, bool object_first) {
    Nest n;
    std::vector<char> closers;
    for (unsigned i = 0; i < depth; ++i) {
        bool object = (i % 2 == 0) == object_first;
        n.opens.push_back(n.text.size());
        n.text += object ? "{\"a\":" : "[";
        closers.push_back(object ? '}' : ']');
    }
    n.text += "7";
    for (unsigned i = depth; i-- > 0;) {
        n.text += closers[i] == '}' ? ",\"b\":2}" : ",1]";
    }
    return n;
}

// What a sink is handed for nest(depth, object_first), built without
// recursion.
std::string expected_events(unsigned depth, bool object_first) {
    std::string out;
    std::vector<bool> objects;
    for (unsigned i = 0; i < depth; ++i) {
        bool object = (i % 2 == 0) == object_first;
        objects.push_back(object);
        if (object) out += "ka/a ";
    }
    out += "u7 ";
    for (unsigned i = depth; i-- > 0;) out += objects[i] ? "kb/a u2 O2 " : "u1 A2 ";
    return out;
}

// Each way of reading a whole text, as the error it ends with.
struct Way {
    const char* name;
    std::function<std::optional<json::JsonParseError>(const std::string&, const json::ReadOptions&)> read;
};

std::vector<Way> ways() {
    return {
        {"tape", [](const std::string& text, const json::ReadOptions& options) -> std::optional<json::JsonParseError> {
             json::ReaderScratch scratch;
             auto doc = json::read_json_text(text, 0, text.size(), scratch, options);
             if (doc.ok()) return std::nullopt;
             return doc.error();
         }},
        {"check", [](const std::string& text, const json::ReadOptions& options) {
             return json::check_json_text(text, options);
         }},
        {"compact", [](const std::string& text, const json::ReadOptions& options) {
             std::string out;
             return json::compact_json_text(text, out, options);
         }},
        {"sink", [](const std::string& text, const json::ReadOptions& options) {
             RecordingSink sink;
             return json::read_json_into(text, sink, options, nullptr);
         }},
    };
}

json::ReadOptions with_depth(json::ReadOptions options, unsigned depth) {
    options.max_depth = depth;
    return options;
}

// Runs `body` on a thread of `stack` bytes of stack.
void on_small_stack(std::size_t stack, const std::function<void()>& body) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack);
    pthread_t thread;
    auto run = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    bool started = pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&body)) == 0;
    pthread_attr_destroy(&attr);
    CHECK(started);
    if (started) pthread_join(thread, nullptr);
}

}  // namespace

TEST(nesting_as_deep_as_the_options_allow_reads_and_one_more_level_fails_at_its_bracket) {
    struct Limit {
        json::ReadOptions options;
        unsigned depth;
    };
    const Limit limits[] = {
        {json::ReadOptions{}, json::kNestingLimit},             // bigjson's 127
        {json::kJsonModuleOptions, json::kOpenNestingLimit},    // qvtok.open's 1024
        {with_depth(json::kJsonModuleOptions, 5), 5},
        {with_depth(json::ReadOptions{}, 1), 1},
        {with_depth(json::kJsonModuleOptions, json::kMaxNestingLimit), json::kMaxNestingLimit},
    };
    for (const Limit& limit : limits) {
        for (bool object_first : {false, true}) {
            Nest fits = nest(limit.depth, object_first);
            Nest deeper = nest(limit.depth + 1, object_first);
            for (const Way& way : ways()) {
                auto fault = way.read(fits.text, limit.options);
                CHECK(!fault);
                auto refused = way.read(deeper.text, limit.options);
                CHECK(refused.has_value());
                if (!refused) {
                    std::fprintf(stderr, "%s read %u levels with a limit of %u\n", way.name, limit.depth + 1,
                                 limit.depth);
                    continue;
                }
                CHECK_EQ(static_cast<int>(refused->syntax), static_cast<int>(Syntax::RecursionLimit));
                CHECK_EQ(refused->offset, deeper.opens.back());
                CHECK_EQ(refused->line, 1u);
                CHECK_EQ(refused->column, deeper.opens.back() + 1);
            }
        }
    }
}

TEST(deep_values_come_out_whole_on_the_tape_to_a_sink_and_compacted) {
    for (bool object_first : {false, true}) {
        const unsigned depth = json::kOpenNestingLimit;
        Nest n = nest(depth, object_first);
        RecordingSink sink;
        CHECK(!json::read_json_into(n.text, sink, json::kJsonModuleOptions, nullptr));
        CHECK(sink.out == expected_events(depth, object_first));

        // The tape, walked down the first member or element of each level.
        for (json::ReadOptions options : {with_depth(json::ReadOptions{}, depth), json::kJsonModuleOptions}) {
            auto doc = json::read_json_text(n.text, options);
            CHECK(doc.ok());
            if (!doc.ok()) continue;
            json::Value v = doc.value().root();
            unsigned levels = 0;
            bool whole = true;
            while (v.kind() == json::Kind::Array || v.kind() == json::Kind::Object) {
                whole &= v.size() == 2;
                if (v.kind() == json::Kind::Array) {
                    auto it = v.elements().begin();
                    ++it;
                    whole &= (*it).as_unsigned() == 1;
                    v = *v.elements().begin();
                } else {
                    json::Member first = *v.members().begin();
                    auto it = v.members().begin();
                    ++it;
                    whole &= first.key == "a" && (*it).key == "b" && (*it).value.as_unsigned() == 2;
                    v = first.value;
                }
                ++levels;
            }
            CHECK(whole);
            CHECK_EQ(levels, depth);
            CHECK_EQ(v.as_unsigned(), 7u);
        }

        // Compacting a pretty-printed copy gives the text back.
        std::string pretty;
        for (char c : n.text) {
            pretty += c;
            if (c == ',' || c == '[' || c == '{' || c == ':') pretty += "\n  ";
        }
        std::string out;
        CHECK(!json::compact_json_text(pretty, out, json::kJsonModuleOptions));
        CHECK(out == n.text);
    }
}

TEST(deep_values_at_the_front_of_a_text_read_in_every_form) {
    Nest n = nest(json::kOpenNestingLimit, true);
    const std::string text = n.text + " ,";
    json::ReaderScratch scratch;
    json::Document doc;
    auto read = json::read_json_front(text, scratch, json::kJsonModuleOptions, doc);
    CHECK(read && read->value_end == n.text.size() && read->next == n.text.size() + 1);
    auto checked = json::check_json_front(text, json::kJsonModuleOptions);
    CHECK(checked && checked->value_end == n.text.size());
    std::string out(text.size(), '\0');
    std::size_t written = 0;
    auto compacted = json::compact_json_front(text, out.data(), written, json::kJsonModuleOptions);
    CHECK(compacted && out.substr(0, written) == n.text);
    RecordingSink sink;
    bool stopped = true;
    CHECK(json::read_json_front_into(text, sink, json::kJsonModuleOptions, stopped).has_value());
    CHECK(!stopped);
    CHECK(sink.out == expected_events(json::kOpenNestingLimit, true));
    // bigjson's limit holds at the front too.
    CHECK(!json::check_json_front(text, json::ReadOptions{}));
    // A scratch that held a deep read reads the next record, shallow or deep.
    for (const std::string& next : {std::string("[1, {\"a\": 2}] ,"), text}) {
        json::Document again;
        CHECK(json::read_json_front(next, scratch, json::kJsonModuleOptions, again).has_value());
    }
}

TEST(the_deepest_text_allowed_reads_and_folds_on_a_thread_with_a_small_stack) {
    // 10000 levels, where a recursive walk of a hundred bytes a level
    // would take a megabyte of stack.
    const unsigned depth = json::kMaxNestingLimit;
    const json::ReadOptions options = with_depth(json::kJsonModuleOptions, depth);
    for (bool object_first : {false, true}) {
        Nest n = nest(depth, object_first);
        std::vector<std::string> faulty;
        unsigned folded_levels = 0;
        on_small_stack(std::size_t{256} << 10, [&] {
            for (const Way& way : ways()) {
                if (way.read(n.text, options)) faulty.push_back(way.name);
            }
            auto doc = json::read_json_text(n.text, options);
            if (!doc.ok()) return;
            schema::SchemaBuilder builder;
            if (!builder.add(doc.value().root())) return;
            schema::Schema schema = builder.finish();
            // Down the chain of positions: an array's elements, an object's
            // field "a".
            schema::Schema::Position p = schema.root();
            for (;;) {
                if (p.has_elements()) {
                    p = p.elements();
                } else if (p.has_objects()) {
                    schema::Schema::Fields fields = p.fields();
                    if (fields.size() != 2 || fields.key(0) != "a" || fields.key(1) != "b") break;
                    p = fields.schema(0);
                } else {
                    break;
                }
                ++folded_levels;
            }
        });
        CHECK(faulty.empty());
        CHECK_EQ(folded_levels, depth);
    }
}
