// The record stream: raw slots, offsets, and file positions of errors, also
// when records and faults lie across blocks and reads come in small chunks.
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "check.hpp"
#include "stream_support.hpp"

using namespace qvtok;
using records::RecordFormat;
using records::RecordStream;
using test::at;
using test::texts_of;

namespace {

// The line and column of the byte at `offset`, counted the slow way.
std::pair<std::uint64_t, std::uint64_t> line_col(const std::string& text, std::size_t offset) {
    std::uint64_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < offset; ++i)
        if (text[i] == '\n') ++line, line_start = i + 1;
    return {line, offset - line_start + 1};
}

records::StreamRules raw_rules() {
    records::StreamRules rules;
    rules.output = records::Output::Raw;
    return rules;
}

const std::size_t kChunks[] = {1 << 20, 65536, 4096, 1000, 7, 1};

}  // namespace

TEST(raw_slots_are_the_bytes_in_the_file) {
    std::string doc = "[ 1 ,\n {\"a\" : [ 2 ]} , \"x\\\"\" ,, null ]";
    CHECK_EQ(texts_of(doc, RecordFormat::Json, raw_rules()), std::string("raw:1 | raw:{\"a\" : [ 2 ]} | raw:\"x\\\"\" | blank | raw:null"));
    auto stream = test::open_stream(doc, RecordFormat::Json, raw_rules(), 3);
    for (const auto& step : test::run(stream)) {
        if (step.text == "blank") continue;
        CHECK_EQ(doc.substr(step.slot.offset, step.slot.raw.size()), step.slot.raw);
    }
    // A raw record is not parsed: its faults are the reader's to find later.
    CHECK_EQ(texts_of("[1, nope, {\"a\" 2}]", RecordFormat::Json, raw_rules()), std::string("raw:1 | raw:nope | raw:{\"a\" 2}"));
    // But the structure the scanner follows is still checked.
    CHECK_EQ(texts_of("[1, {]]", RecordFormat::Json, raw_rules()).substr(0, 14), std::string("raw:1 | error:"));
    CHECK_EQ(texts_of(" {\"a\": 1} ", RecordFormat::Json, raw_rules()), std::string("raw:{\"a\": 1}"));
    CHECK_EQ(texts_of("{\"a\": 1}\n\n [2, 3]\n", RecordFormat::Jsonl, raw_rules()), std::string("raw:{\"a\": 1} | raw:[2, 3]"));
}

TEST(parsed_slots_carry_their_offsets) {
    std::string doc = "{\"m\": 0, \"f\": [\n  10,\n  {\"k\": 1},\n  \"s\"\n]}";
    for (std::size_t chunk : kChunks) {
        auto stream = test::open_stream(doc, RecordFormat::Json, at("/f"), chunk);
        std::vector<std::uint64_t> offsets;
        for (const auto& step : test::run(stream)) offsets.push_back(step.slot.offset);
        CHECK(offsets == (std::vector<std::uint64_t>{doc.find("10"), doc.find("{\"k\""), doc.find("\"s\"")}));
    }
    std::string lines = "[1]\n  {\"a\": 2}\n";
    auto stream = test::open_stream(lines, RecordFormat::Jsonl);
    auto steps = test::run(stream);
    CHECK_EQ(steps.size(), std::size_t(2));
    if (steps.size() == 2) {
        CHECK_EQ(steps[0].slot.offset, 0ull);
        CHECK_EQ(steps[1].slot.offset, 6ull);
    }
}

TEST(element_errors_are_placed_in_the_file_across_blocks) {
    // Elements on many lines, spread over several blocks; a few are broken,
    // on their first line, on a later line, and across a block's end.
    std::mt19937 rng(7);
    for (int round = 0; round < 6; ++round) {
        // The blocks of bigjson's passes, and the larger ones of others.
        records::StreamRules rules;
        rules.block_size = round % 2 ? RecordStream::kBlockSize : 4 * RecordStream::kBlockSize;
        std::string doc = "[\n";
        std::vector<std::size_t> faults;
        while (doc.size() < 3 * rules.block_size) {
            unsigned pick = rng() % 200;
            if (doc.size() > 1000) doc += ",";
            doc += std::string(rng() % 3, ' ') + (rng() % 2 ? "\n" : "");
            if (doc.size() <= 1001 && doc.size() > 2 && doc[doc.size() - 1] != ',') {}
            if (pick == 0) {
                doc += "{\"a\": [1,\n  2,";
                faults.push_back(doc.size() + 1);
                doc += " x]}";
            } else if (pick == 1) {
                faults.push_back(doc.size() + 4);
                doc += "[1, ?, 3]";
            } else {
                doc += "{\"k\": \"" + std::string(rng() % 80, 'v') + "\",\n \"n\": [1, 2.5, null]}";
            }
            if (doc.size() < 1000) doc += ",";
        }
        // One element that spans the end of the first block, broken after it.
        doc += ", [\"" + std::string(rules.block_size, 'w') + "\",\n\n   bad]";
        faults.push_back(doc.size() - 4);
        doc += "\n]\n";
        // Drop the leading commas the loop made before the first element.
        std::size_t chunk = kChunks[round];
        auto stream = test::open_stream(doc, RecordFormat::Json, rules, chunk);
        auto steps = test::run(stream);
        std::vector<std::size_t> got;
        for (const auto& step : steps) {
            if (step.ok) continue;
            got.push_back(step.error.offset);
            auto [line, col] = line_col(doc, step.error.offset);
            CHECK_EQ(step.error.file_line, line);
            CHECK_EQ(step.error.file_column, col);
        }
        CHECK(got == faults);
        // Record indexes count the records and broken records before.
        std::uint64_t index = 0;
        for (const auto& step : steps) {
            if (!step.ok) CHECK_EQ(step.error.record, index);
            if (step.text != "blank") ++index;
        }
    }
}

TEST(faults_of_the_file_are_placed_by_line_and_column) {
    std::string doc = "[1,\n 2]\n\n  x";
    auto stream = test::open_stream(doc, RecordFormat::Json, {}, 2);
    auto steps = test::run(stream);
    CHECK_EQ(steps.size(), std::size_t(3));
    if (steps.size() == 3) {
        CHECK(steps[2].error.code == ErrorCode::InvalidJson);
        CHECK_EQ(steps[2].error.file_line, 4ull);
        CHECK_EQ(steps[2].error.file_column, 3ull);
        CHECK_EQ(steps[2].error.record, 2ull);
    }
}

TEST(jsonl_errors_name_their_line) {
    std::string text = "{\"a\": 1}\n\n   {\"a\": ]}\n[1,\n\xff\n";
    auto stream = test::open_stream(text, RecordFormat::Jsonl, {}, 3);
    auto steps = test::run(stream);
    CHECK_EQ(steps.size(), std::size_t(4));
    if (steps.size() == 4) {
        CHECK(steps[1].error.code == ErrorCode::InvalidLine);
        CHECK_EQ(steps[1].error.file_line, 3ull);
        CHECK_EQ(steps[1].error.file_column, 10ull);
        CHECK_EQ(steps[1].error.record, 1ull);
        CHECK_EQ(steps[2].error.file_line, 4ull);
        CHECK_EQ(steps[3].error.code == ErrorCode::InvalidUtf8, true);
        CHECK_EQ(steps[3].error.file_line, 5ull);
        CHECK_EQ(steps[3].error.record, 3ull);
    }
    // The same through next(), which bigjson reads.
    auto again = test::open_stream(text, RecordFormat::Jsonl, {}, 3);
    CHECK(again.next().ok());
    auto bad = again.next();
    CHECK(!bad.ok() && bad.error().file_line == 3 && bad.error().file_column == 10 && bad.error().record == 1);
}

TEST(skipping_to_a_pointer_across_blocks_gives_the_same_records) {
    // A large object before the named array, and keys that only look alike.
    std::string meta = "{\"features\": \"no\", \"deep\": [";
    for (int i = 0; i < 5000; ++i) meta += "{\"features\": [\"x\\\"]\", {\"y\": [" + std::to_string(i) + "]}]},\n";
    meta += "0]}";
    std::string features = "[";
    for (int i = 0; i < 3000; ++i) {
        if (i) features += ",\n";
        features += "{\"type\": \"Feature\", \"id\": " + std::to_string(i) + ", \"p\": [1.5, \"]\"]}";
    }
    features += "]";
    std::string doc = "{\"type\": \"FeatureCollection\", \"meta\": " + meta + ", \"features\": " + features +
                      ", \"after\": {\"features\": [1]}}";
    std::string expected = texts_of(features, RecordFormat::Json, {});
    for (std::size_t chunk : kChunks) {
        if (chunk == 1) continue;  // slow, and 7 covers the same ground
        CHECK_EQ(texts_of(doc, RecordFormat::Json, at("/features"), chunk), expected);
    }
    CHECK_EQ(texts_of(doc, RecordFormat::Json, at("/features/2999/p", false)), std::string("raw:1.5 | raw:\"]\""));
}

TEST(random_bytes_give_the_same_steps_in_any_chunks_and_raw_texts_from_the_file) {
    static const char* alphabet[] = {"[", "]", "{", "}", ",", ":", "\"", "\\", " ", "\n", "1", "a", "\"f\"", "\"f\":",
                                     "\x01", "\t", "\xff", "null", "\"k\":", "\"\\u0066\":", "[1,2]", "{\"f\":[3]}"};
    static const char* pointers[] = {"", "/f", "/*", "/0", "/f/*", "/*/f", "/k"};
    std::mt19937 rng(99);
    for (int round = 0; round < 4000; ++round) {
        std::string doc = rng() % 4 ? (rng() % 2 ? "{" : "[") : "";
        for (unsigned n = rng() % 40; n > 0; --n) doc += alphabet[rng() % (sizeof alphabet / sizeof *alphabet)];
        const char* pointer = pointers[rng() % (sizeof pointers / sizeof *pointers)];
        RecordFormat format = rng() % 4 ? RecordFormat::Json : RecordFormat::Jsonl;
        bool parse = rng() % 2;
        auto one = test::open_stream(doc, format, at(pointer, parse));
        auto whole = test::run(one, 1000);
        auto small = test::open_stream(doc, format, at(pointer, parse), 1 + rng() % 5);
        auto pieces = test::run(small, 1000);
        if (test::texts(whole) != test::texts(pieces))
            test::fail(__FILE__, __LINE__, std::string(pointer) + " on " + doc + ": " + test::texts(whole) + " / " + test::texts(pieces));
        for (const auto& step : whole) {
            if (!step.ok) {
                CHECK(step.error.offset <= doc.size());
                continue;
            }
            if (!parse && step.text != "blank") CHECK_EQ(doc.substr(step.slot.offset, step.slot.raw.size()), step.slot.raw);
        }
    }
}

TEST(strict_elements_refuse_blanks_but_empty_containers_hold_none) {
    // Each text under a top-level array and under a pointer, in chunks of 1
    // byte and whole: blanks are errors at their separator, "[]" and "{}"
    // stay one blank slot (no record), and the stream goes on after the error. Lenient rules
    // (bigjson's) pass blank elements over.
    struct Case {
        const char* text;
        const char* strict;   // the steps
        const char* lenient;  // of a top-level array, lenient
    };
    const Case cases[] = {
        {"[]", "blank", "blank"},
        {"[ \n ]", "blank", "blank"},
        {"[1,,2]", "1|error:@3 1:4 #1|2", "1 | blank | 2"},
        {"[1,2,]", "1|2|error:@5 1:6 #2", "1 | 2 | blank"},
        {"[,]", "error:@1 1:2 #0|error:@2 1:3 #1", "blank | blank"},
        {"[\n1,\n\n,2]", "1|error:@6 4:1 #1|2", "1 | blank | 2"},
    };
    for (const Case& c : cases) {
        for (std::size_t chunk : {std::size_t(1), std::size_t(1) << 20}) {
            for (bool pointer : {false, true}) {
                std::string text = pointer ? std::string("{\"a\":") + c.text + "}" : std::string(c.text);
                records::StreamRules rules = pointer ? test::at("/a") : records::StreamRules{};
                rules.strict_elements = true;
                auto stream = test::open_stream(text, RecordFormat::Json, rules, chunk);
                std::string got;
                for (const test::Step& s : test::run(stream)) {
                    std::string t = s.text;
                    // Codes differ by nothing here; the place is what counts.
                    if (!s.ok) t = "error:" + t.substr(t.find('@'));
                    if (pointer && !s.ok) {
                        // The pointer's document starts 5 bytes later.
                        const Error& e = s.error;
                        t = "error:@" + std::to_string(e.offset - 5) + " " + std::to_string(e.file_line) + ":" +
                            std::to_string(e.file_column - (e.file_line == 1 ? 5 : 0)) + " #" +
                            std::to_string(e.record);
                    }
                    got += (got.empty() ? "" : "|") + t;
                }
                CHECK(got == c.strict);
                if (got != c.strict) std::fprintf(stderr, "%s (chunk %zu): %s\n", text.c_str(), chunk, got.c_str());
            }
        }
        auto lenient = test::open_stream(c.text, RecordFormat::Json);
        CHECK(test::texts(test::run(lenient)) == c.lenient);
    }
    // An object's members alike.
    auto stream = test::open_stream("{\"a\":{\"x\":1,}}", RecordFormat::Json, [] {
        records::StreamRules r = test::at("/a");
        r.strict_elements = true;
        return r;
    }());
    auto steps = test::run(stream);
    CHECK(steps.size() == 2 && !steps[1].ok && steps[1].error.syntax == json::Syntax::TrailingComma &&
          steps[1].error.offset == 12);
}

TEST(a_single_document_read_whole_gives_its_value_and_places_its_errors) {
    // A document that is no array, much larger than a block, starting after
    // more than a block of white space: its value whole, in any chunks; a
    // fault far inside it is placed by file line and column; a read that
    // fails part way is an error, not a short document.
    std::string lead(RecordStream::kBlockSize + 17, ' ');
    lead += "\n\n ";
    std::string body = "{\"a\": [";
    for (int i = 0; i < 40000; ++i) body += (i ? ",\n" : "") + std::to_string(i);
    body += "], \"b\": \"end\"}";
    std::string doc = lead + body + "\n";
    for (std::size_t chunk : {std::size_t(5), std::size_t(4096), std::size_t(1) << 20}) {
        auto stream = test::open_stream(doc, RecordFormat::Json, {}, chunk);
        auto steps = test::run(stream);
        CHECK(steps.size() == 1 && steps[0].ok && steps[0].slot.record);
        if (steps.size() == 1 && steps[0].slot.record) {
            json::Value root = steps[0].slot.record->root();
            CHECK(test::show(root).size() > body.size() / 2);
            CHECK(test::show(root).ends_with(",39999],\"b\":\"end\"}"));
        }
        CHECK_EQ(stream.bytes_read(), static_cast<std::uint64_t>(doc.size()));
    }
    std::string broken = lead + body;
    broken.replace(broken.find("\n39998"), 6, "\n39x98");
    auto stream = test::open_stream(broken, RecordFormat::Json, {}, 4096);
    auto steps = test::run(stream);
    CHECK(steps.size() == 1 && !steps[0].ok);
    if (steps.size() == 1 && !steps[0].ok) {
        CHECK_EQ(steps[0].error.file_line, 3ull + 39998);
        CHECK_EQ(steps[0].error.file_column, 3ull);
        CHECK_EQ(steps[0].error.offset, static_cast<std::uint64_t>(broken.find("x98")));
    }
    records::RecordSource failing(std::make_unique<test::MemReader>(doc, 4096, false, doc.size() - 100), {},
                                  RecordStream::buffer_size(RecordFormat::Json));
    auto cut = RecordStream::adopt(std::move(failing), RecordFormat::Json);
    auto first = cut.next_slot();
    CHECK(!first.ok() && first.error().code == ErrorCode::ReadFailed);
}

namespace {

// The records of `doc` counted with or without passing them in bulk between
// slots, and every error met on the way, with its place.
std::string count_records(const std::string& doc, RecordFormat format, const records::StreamRules& rules,
                          std::size_t chunk, bool bulk) {
    auto stream = test::open_stream(doc, format, rules, chunk);
    std::uint64_t records = 0;
    std::ostringstream seen;
    for (int steps = 0; steps < 100000; ++steps) {
        if (bulk) records += stream.pass_elements();
        auto slot = stream.next_slot();
        if (!slot) {
            const Error& e = slot.error();
            seen << "error " << static_cast<int>(e.code) << "@" << e.offset << " " << e.file_line << ":"
                 << e.file_column << " #" << e.record << " after " << records << "; ";
            continue;
        }
        if (slot.value().kind == records::Slot::Kind::End) break;
        if (slot.value().kind == records::Slot::Kind::Record) ++records;
    }
    seen << records << " records, " << stream.records_out() << " out, " << stream.lines_read() << " lines";
    return seen.str();
}

// Whether `doc` counts the same in bulk as slot by slot; both printed if not.
bool counts_alike_in_bulk(const std::string& doc, RecordFormat format, const records::StreamRules& rules,
                          std::size_t chunk) {
    std::string one_by_one = count_records(doc, format, rules, chunk, false);
    std::string bulk = count_records(doc, format, rules, chunk, true);
    CHECK(bulk == one_by_one);
    if (bulk == one_by_one) return true;
    std::fprintf(stderr, "%zu bytes, chunk %zu: %s / %s\n", doc.size(), chunk, bulk.c_str(), one_by_one.c_str());
    return false;
}

}  // namespace

TEST(counting_in_bulk_counts_and_fails_as_slot_by_slot) {
    // Raw records counted two ways, passing elements in bulk between slots
    // and slot by slot: the same count and the same errors at the same
    // places, whatever the elements hold and wherever the blocks cut them,
    // under strict and lenient rules, at a pointer and at the top.
    static const char* elements[] = {"1", "{\"a\": [1, {\"b\": \"x,]\"}]}", "\"\\\"],\"", " ", "\"\xc3\xa9\"",
                                     "\xc2\xa0", "[1, 2}", "\"a\x01\"", "  \n  null", "{\"k\": [[[]]]}"};
    std::mt19937 rng(20261207);
    for (int round = 0; round < 300; ++round) {
        std::string items;
        std::size_t n = rng() % 2 ? rng() % 20 : 2000 + rng() % 4000;  // some past a block
        for (std::size_t i = 0; i < n; ++i) {
            // Mostly good elements, now and then one of the others.
            std::size_t pick = rng() % 50 == 0 ? rng() % std::size(elements) : (rng() % 2 ? 1 : 0);
            if (i) items += ',';
            items += elements[pick];
        }
        bool pointer = rng() % 2;
        std::string doc = pointer ? "{\"x\": 1, \"f\": [" + items + "], \"y\": 2}" : "[" + items + "]";
        records::StreamRules rules = pointer ? test::at("/f", false) : records::StreamRules{};
        rules.output = records::Output::Raw;
        rules.strict_elements = rng() % 2;
        std::size_t chunk = rng() % 3 == 0 ? 1 + rng() % 700 : std::size_t(1) << 20;
        if (!counts_alike_in_bulk(doc, RecordFormat::Json, rules, chunk)) return;
    }
}

TEST(counting_lines_in_bulk_counts_and_fails_as_slot_by_slot) {
    // The same for JSON Lines: blank lines of either rule's white space,
    // lines that only one rule calls blank, lines that are no UTF-8 (alone,
    // after a record, at the very end), lines longer than the buffer and a
    // last line without its line feed.
    static const char* lines[] = {"{\"a\": 1}", "", "  \t\r", "\x0c", "\xc2\xa0", " \xe3\x80\x80 ", "x\xff",
                                  "\xc3", "[1, \"\xc3\xa9\"]", "\x01"};
    std::mt19937 rng(20261209);
    const std::string long_line = "\"" + std::string(100000, 'y') + "\"";
    for (int round = 0; round < 300; ++round) {
        std::string doc;
        std::size_t n = rng() % 2 ? rng() % 20 : 2000 + rng() % 4000;
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t pick = rng() % 30 == 0 ? rng() % std::size(lines) : (rng() % 4 == 0 ? 1 : 0);
            doc.append(rng() % 500 == 0 ? long_line : std::string(lines[pick]));
            doc.append(rng() % 20 == 0 ? "\r\n" : "\n");
        }
        if (rng() % 2 && !doc.empty()) doc.pop_back();
        records::StreamRules rules;
        rules.output = records::Output::Raw;
        rules.space = rng() % 2 ? records::SpaceAround::Json : records::SpaceAround::WhiteSpace;
        std::size_t chunk = rng() % 3 == 0 ? 1 + rng() % 700 : std::size_t(1) << 20;
        if (!counts_alike_in_bulk(doc, RecordFormat::Jsonl, rules, chunk)) return;
    }
}

namespace {

// The rules of qvtok.open's passes: UTF-8 is checked, not repaired.
records::StreamRules open_rules(bool build = true) {
    records::StreamRules rules;
    rules.read = json::kJsonModuleOptions;
    rules.repair_utf8 = false;
    rules.strict_elements = true;
    rules.space = records::SpaceAround::Json;
    rules.output = build ? records::Output::Value : records::Output::Check;
    rules.tell_unchecked = true;
    return rules;
}

// The errors of a stream run to its end.
std::vector<Error> errors_of(const std::vector<test::Step>& steps) {
    std::vector<Error> out;
    for (const auto& step : steps)
        if (!step.ok) out.push_back(step.error);
    return out;
}

// A one-line array of `count` small objects, as json.dumps writes it.
std::string object_array(std::size_t count) {
    std::string doc = "[";
    for (std::size_t i = 0; i < count; ++i) {
        if (i) doc += ", ";
        doc += "{\"id\": " + std::to_string(i) + ", \"name\": \"n" + std::to_string(i) + "\"}";
    }
    return doc + "]";
}

}  // namespace

TEST(an_element_the_scanner_runs_past_is_named_by_its_own_first_fault) {
    // A bracket or a quote out of place makes the scanner's element run on
    // to the end of the file; the reader names the fault it meets first,
    // where json does, and the bytes after it are told as not checked.
    std::string missing_quote = object_array(50);
    const std::size_t key = missing_quote.find("\"name\": \"n7\"");
    missing_quote.erase(key, 1);  // {"id": 7, name": "n7"}
    struct Case {
        std::string doc;
        std::size_t fault;
        std::uint64_t record;
    };
    const Case cases[] = {
        {"[\n null,\n -1[7646\n]", 12, 1},
        {"[\n  [\n,\n  [\n    \"s\"\n  ]\n]", 6, 0},
        {missing_quote, key, 7},
        {"[{\"a\": 1}, {\"b: \"x\"}, {\"c\": 3}]", 17, 1},
    };
    for (const Case& c : cases) {
        for (bool build : {true, false}) {
            for (std::size_t chunk : kChunks) {
                auto stream = test::open_stream(c.doc, RecordFormat::Json, open_rules(build), chunk);
                // The same array at a pointer.
                const std::string wrapped = "{\"meta\": [1], \"f\": " + c.doc + "}";
                records::StreamRules rules = open_rules(build);
                rules.at = test::at("/f").at;
                auto at_stream = test::open_stream(wrapped, RecordFormat::Json, rules, chunk);
                auto at_errors = errors_of(test::run(at_stream));
                CHECK_EQ(at_errors.size(), std::size_t(2));
                if (!at_errors.empty()) CHECK_EQ(at_errors[0].offset, c.fault + wrapped.find(c.doc));
                auto steps = test::run(stream);
                auto errors = errors_of(steps);
                CHECK_EQ(errors.size(), std::size_t(2));
                if (errors.size() != 2) continue;
                CHECK(errors[0].code == ErrorCode::InvalidElement);
                CHECK_EQ(errors[0].offset, c.fault);
                CHECK_EQ(errors[0].record, c.record);
                auto [line, col] = line_col(c.doc, c.fault);
                CHECK_EQ(errors[0].file_line, line);
                CHECK_EQ(errors[0].file_column, col);
                CHECK(errors[1].code == ErrorCode::StructureLost);
                CHECK_EQ(errors[1].offset, c.fault);
                CHECK_EQ(errors[1].end, c.doc.size());
                CHECK_EQ(errors[1].record, c.record);
                // The notice is the last step: nothing is read past the fault.
                CHECK(!steps.back().ok && steps.back().error.code == ErrorCode::StructureLost);
            }
        }
    }
}

TEST(structure_lost_is_told_only_where_bytes_are_left) {
    struct Case {
        std::string doc;
        std::size_t fault;
        std::uint64_t end;  // of the unchecked bytes; 0: no notice
    };
    const Case cases[] = {
        {"[1, {]}, 3, 4]", 5, 14},  // a closer of the wrong kind
        {"[1, 2, 3}", 8, 0},        // the fault is the last byte
        {"[1, 2", 5, 0},            // cut: nothing after the end
        {"[1, \"a\n\", 3]", 6, 12},  // a raw line feed in a string
    };
    for (const Case& c : cases) {
        auto stream = test::open_stream(c.doc, RecordFormat::Json, open_rules(), 3);
        auto errors = errors_of(test::run(stream));
        CHECK_EQ(errors.size(), std::size_t(c.end ? 2 : 1));
        if (errors.empty()) continue;
        CHECK_EQ(errors[0].offset, c.fault);
        if (errors.size() == 2) {
            CHECK(errors[1].code == ErrorCode::StructureLost);
            CHECK_EQ(errors[1].offset, c.fault);
            CHECK_EQ(errors[1].end, c.end);
        }
    }
    // JSON Lines find the next record on the next line: nothing is lost.
    std::string lines = "{\"a\": 1}\n{\"a\": n5\"}\n{\"a\": [1, }\n{\"a\": 4}\n";
    auto stream = test::open_stream(lines, RecordFormat::Jsonl, open_rules(), 5);
    auto steps = test::run(stream);
    CHECK_EQ(test::texts(steps).find("error:" + std::to_string(static_cast<int>(ErrorCode::StructureLost))),
             std::string::npos);
    CHECK_EQ(errors_of(steps).size(), std::size_t(2));
    CHECK_EQ(steps.back().text, std::string("{\"a\":4}"));
}

TEST(a_runaway_element_is_gathered_only_until_its_fault_shows) {
    // Some 20 MiB of records on one line with one quote gone: the stream
    // stops at the first check after the fault, not at the end of the file.
    std::string doc = object_array(500000);
    for (double where : {0.01, 0.3}) {
        std::string bad = doc;
        const std::size_t key = bad.find("\"name\"", static_cast<std::size_t>(where * bad.size()));
        bad.erase(key, 1);
        for (bool build : {true, false}) {
            for (bool pointer : {false, true}) {
                // At a pointer the array is the value of a member.
                const std::string doc = pointer ? "{\"f\": " + bad + "}" : bad;
                const std::size_t fault = key + (pointer ? 6 : 0);
                records::StreamRules rules = open_rules(build);
                if (pointer) rules.at = test::at("/f").at;
                auto stream = test::open_stream(doc, RecordFormat::Json, rules, 65536);
                auto errors = errors_of(test::run(stream, 1000000));
                CHECK_EQ(errors.size(), std::size_t(2));
                if (errors.empty()) continue;
                CHECK_EQ(errors[0].offset, fault);
                const std::size_t bound = fault + RecordStream::kCheckFrom + 4 * RecordStream::kBlockSize;
                CHECK(bound < doc.size());  // the bound says something
                CHECK(stream.bytes_read() <= bound);
                if (errors.size() == 2) CHECK_EQ(errors[1].end, doc.size());
            }
        }
    }
}

TEST(a_large_valid_element_is_not_cut_by_the_checks_on_its_way) {
    // Elements of many MiB whose tokens (escapes, literals, numbers, long
    // strings) fall across every place a check may cut them: each is read
    // whole, in any chunks, and with either way of handling UTF-8.
    std::string big = "[";
    const char* pieces[] = {"\"\\ud83d\\ude00\\u00e9\\n\"", "true", "false", "null", "-1.25e+300",
                            "123456789012345678901234567890", "{\"k\": [[], {}]}", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"",
                            "\"" };
    std::mt19937 rng(11);
    std::size_t count = 0;
    while (big.size() < 3 * RecordStream::kCheckFrom) {
        if (count++) big += rng() % 2 ? ", " : ",\n";
        std::size_t pick = rng() % 9;
        if (pick == 8) {
            big += "\"" + std::string(rng() % 3000, 'q') + "\"";
        } else {
            big += pieces[pick];
        }
    }
    big += "]";
    const std::string doc = "[0, " + big + ", " + big + ", 2]";
    for (bool repair : {true, false}) {
        for (std::size_t chunk : {std::size_t(65536), std::size_t(1000)}) {
            records::StreamRules rules = open_rules(false);
            rules.repair_utf8 = repair;
            auto stream = test::open_stream(doc, RecordFormat::Json, rules, chunk);
            auto steps = test::run(stream);
            CHECK(errors_of(steps).empty());
            CHECK_EQ(steps.size(), std::size_t(4));
        }
    }
}
