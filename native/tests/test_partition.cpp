// Partitions: read apart, they give what one read of the whole file gives,
// record for record and error for error, wherever the cuts fall.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include "check.hpp"
#include "core/records/partition.hpp"
#include "stream_support.hpp"
#include "temp_file.hpp"

namespace qvtok::test {
namespace {

using records::RecordFormat;

// Elements whose text holds what a naive cut would trip on: line feeds and
// commas and brackets inside strings, escaped quotes, nesting, long runs,
// and now and then one that does not parse but whose brackets balance.
std::string element(std::mt19937& rng, bool one_line) {
    static const char* pieces[] = {
        "1", "-2.5e3", "true", "null", "\"a,b]\"", "\"q\\\"]}\"", "{\"k\": [1, {\"x\": \"}\"}]}",
        "[[], {}, \"[\"]", "{\"bad\": }", "[1, 2,, 3]",
    };
    std::string out = pieces[rng() % 10];
    if (rng() % 5 == 0) out = "{\"long\": \"" + std::string(rng() % 3000, 'x') + "\", \"v\": " + out + "}";
    if (!one_line && rng() % 4 == 0) out = "{\n  \"n\": \"l\\nf\",\n  \"v\": " + out + "\n}";
    return out;
}

// The steps of reading every partition in turn, and of reading the whole.
std::pair<std::string, std::string> both_ways(const std::string& path, RecordFormat format,
                                              const records::StreamRules& rules, std::uint64_t target,
                                              std::size_t& parts) {
    auto plan = records::plan_partitions(path, format, rules, target, {});
    CHECK(plan.ok());
    parts = plan ? plan.value().size() : 0;
    std::string apart;
    std::uint64_t next = 0;
    for (const auto& part : plan.value()) {
        CHECK_EQ(part.offset, next);  // the parts tile the file
        next = part.offset + part.length;
        auto stream = records::open_partition(path, format, rules, part, {});
        CHECK(stream.ok());
        std::string t = texts(run(stream.value()));
        if (!t.empty()) apart += (apart.empty() ? "" : " | ") + t;
    }
    auto source = records::RecordSource::open(path, {}, records::RecordStream::buffer_size(format));
    auto whole = records::RecordStream::adopt(std::move(source).value(), format, rules);
    return {apart, texts(run(whole))};
}

TEST(partitions_of_an_array_read_as_the_whole_file) {
    std::mt19937 rng(7);
    int split = 0;
    for (int round = 0; round < 40; ++round) {
        const bool nested = round % 2 == 1;
        std::string doc = nested ? "{\"meta\": {\"a\": [1, 2]},\n \"rows\": [" : " \n[";
        int n = 1 + static_cast<int>(rng() % 60);
        for (int i = 0; i < n; ++i) doc += (i ? (rng() % 2 ? ",\n  " : ",") : "") + element(rng, false);
        doc += nested ? "],\n \"tail\": \"]\"}\n" : "]\n";
        std::string path = write_temp(doc, "qvtok-partition");
        auto rules = nested ? at("/rows") : records::StreamRules{};
        for (bool parse : {true, false}) {
            rules.output = parse ? records::Output::Value : records::Output::Raw;
            std::size_t parts = 0;
            auto [apart, whole] = both_ways(path, RecordFormat::Json, rules, 1 + rng() % 400, parts);
            CHECK_EQ(apart, whole);
            split += parts > 1;
        }
        ::unlink(path.c_str());
    }
    CHECK(split > 50);  // most files were cut
}

TEST(partitions_of_json_lines_hold_every_line_once) {
    std::mt19937 rng(11);
    for (int round = 0; round < 40; ++round) {
        std::string doc;
        int n = 1 + static_cast<int>(rng() % 80);
        for (int i = 0; i < n; ++i) {
            doc += element(rng, true);
            doc += rng() % 3 == 0 ? "\r\n" : "\n";
            if (rng() % 7 == 0) doc += "\n  \n";  // blank lines
        }
        if (rng() % 2) doc.pop_back();  // no line feed at the end
        std::string path = write_temp(doc, "qvtok-partition");
        std::size_t parts = 0;
        std::uint64_t target = 1 + rng() % 300;
        auto [apart, whole] = both_ways(path, RecordFormat::Jsonl, {}, target, parts);
        // Records and error offsets agree; lines and record indexes of
        // errors count from each part's start, which a seek cannot know.
        auto strip = [](const std::string& t) {
            std::string out;
            std::size_t i = 0;
            while (i < t.size()) {
                std::size_t e = t.find("error:", i);
                if (e == std::string::npos) {
                    out += t.substr(i);
                    break;
                }
                std::size_t space = t.find(' ', e);
                std::size_t end = t.find(" | ", e);
                out += t.substr(i, space - i);
                i = end == std::string::npos ? t.size() : end;
            }
            return out;
        };
        CHECK_EQ(strip(apart), strip(whole));
        CHECK(parts >= 1 && parts <= doc.size() / target + 1);
        ::unlink(path.c_str());
    }
}

// Files of several read blocks cut into many small partitions: the line
// count carried from cut to cut and from block to block, and the probe's
// window over JSON Lines, place every partition as the whole read does.
TEST(small_partitions_of_files_larger_than_a_block) {
    std::mt19937 rng(13);
    std::string doc = "[";
    while (doc.size() < (5u << 19)) doc += (doc.size() > 1 ? (rng() % 2 ? ",\n" : ",") : "") + element(rng, false);
    doc += "]\n";
    std::string path = write_temp(doc, "qvtok-partition");
    std::size_t parts = 0;
    auto [apart, whole] = both_ways(path, RecordFormat::Json, {}, 997, parts);
    CHECK_EQ(apart, whole);
    CHECK(parts > 1000);  // the long elements take several kilobytes each
    ::unlink(path.c_str());

    std::string lines;
    while (lines.size() < (300u << 10)) lines += element(rng, true) + "\n";
    path = write_temp(lines, "qvtok-partition");
    auto plan = records::plan_partitions(path, RecordFormat::Jsonl, {}, 101, {});
    CHECK(plan.ok());
    std::uint64_t next = 0;
    for (const auto& part : plan.value()) {
        CHECK_EQ(part.offset, next);
        // Every cut is a line's start, and the first one at or past its target.
        if (part.offset != 0) CHECK_EQ(lines[part.offset - 1], '\n');
        next = part.offset + part.length;
    }
    CHECK_EQ(next, static_cast<std::uint64_t>(lines.size()));
    ::unlink(path.c_str());
}

TEST(a_broken_structure_gives_one_partition) {
    // Blank elements too: a read of the whole numbers them as records.
    for (const char* doc : {"[1, 2, 3] x", "[1, {\"a\": 2]}, 3, 4, 5]", "[1, 2, 3", "{\"rows\": {\"a\": 1, \"b\": 2}}",
                            "[2, ,, 3, 4, 5, 6]", "[1, 2, 3, 4, 5, 6, ]", "[, 1, 2, 3, 4, 5]"}) {
        std::string path = write_temp(doc, "qvtok-partition");
        auto rules = std::string(doc).find("rows") != std::string::npos ? at("/rows") : records::StreamRules{};
        rules.strict_elements = true;  // as qvtok.open reads
        auto plan = records::plan_partitions(path, RecordFormat::Json, rules, 2, {});
        CHECK(plan.ok() && plan.value().size() == 1 && plan.value()[0].last);
        ::unlink(path.c_str());
    }
    std::string path = write_temp("[[], 1, [ ], 2, [], 3]", "qvtok-partition");
    auto plan = records::plan_partitions(path, RecordFormat::Json, {}, 2, {});
    CHECK(plan.ok() && plan.value().size() > 1);  // empty arrays are no blanks
    ::unlink(path.c_str());
}

}  // namespace
}  // namespace qvtok::test
