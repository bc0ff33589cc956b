// A new output plugs into the record stream as a sink: one that counts the
// reader's events gets the same counts from every source (a file, a
// compressed file, a reader of short reads as a file object is, the parts
// of a file) in every format (JSON Lines, a top-level array, the members at
// a pointer), and nothing of a record that fails or is read again.
#include <cstdio>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/codecs/codec.hpp"
#include "core/json/sink_builder.hpp"
#include "core/records/decompress.hpp"
#include "core/records/partition.hpp"
#include "memory_reader.hpp"
#include "temp_file.hpp"

namespace qvtok::test {
namespace {

using records::RecordFormat;

// The whole of the new output: what it keeps per record, and how it takes
// back the events of one that is not kept.
struct CountingSink {
    struct Counts {
        std::uint64_t records = 0, scalars = 0, keys = 0, members = 0, elements = 0;
        bool operator==(const Counts&) const = default;
    };
    Counts kept, pending;

    bool scalar() { return ++pending.scalars, true; }
    bool literal(json::Kind) { return scalar(); }
    bool unsigned_int(std::uint64_t) { return scalar(); }
    bool negative_int(std::int64_t) { return scalar(); }
    bool floating(double) { return scalar(); }
    bool big_int(std::string_view) { return scalar(); }
    bool string(std::string_view, bool) { return scalar(); }
    bool key(std::string_view, bool) { return ++pending.keys, true; }
    bool close_array(std::size_t n) { return pending.elements += n, true; }
    bool close_object(std::size_t n) { return pending.members += n, true; }
    void commit() {
        kept.records += 1;
        kept.scalars += pending.scalars;
        kept.keys += pending.keys;
        kept.members += pending.members;
        kept.elements += pending.elements;
        pending = {};
    }
    void rollback() { pending = {}; }
};

constexpr std::size_t kRecords = 4000;
constexpr std::size_t kBroken = 1234;  // its fault comes after some of its events

// 7 scalars, 6 keys, 6 members and 2 elements, a wide integer among them;
// the broken one has none of them kept.
std::string record(std::size_t i) {
    if (i == kBroken) return "{\"id\": " + std::to_string(i) + ", \"tags\": [\"a\"], \"name\": tru}";
    return "{\"id\": " + std::to_string(i) + ", \"name\": \"n" + std::to_string(i) +
           "\", \"tags\": [\"a\", \"b\\u00e9\"], \"score\": -" + std::to_string(i) +
           ".5, \"ok\": true, \"big\": 123456789012345678901234567890}";
}

struct Shape {
    const char* name;
    RecordFormat format;
    const char* at;  // nullptr: the records of the format itself
    std::string text;
};

std::vector<Shape> shapes() {
    std::string lines, items;
    for (std::size_t i = 0; i < kRecords; ++i) {
        lines += record(i) + "\n";
        items += (i ? ",\n  " : "") + record(i);
    }
    // Around the records at the pointer: containers that are no records.
    return {{"lines", RecordFormat::Jsonl, nullptr, lines},
            {"array", RecordFormat::Json, nullptr, "[\n  " + items + "\n]\n"},
            {"pointer", RecordFormat::Json, "/rows",
             "{\"meta\": {\"rows\": [0, {\"x\": 1}]}, \"rows\": [" + items + "], \"after\": [1, 2]}"}};
}

records::StreamRules rules_for(const Shape& shape) {
    records::StreamRules rules;  // qvtok.open's: UTF-8 checked, json's white space
    rules.read = json::kJsonModuleOptions;
    rules.repair_utf8 = false;
    rules.strict_elements = true;
    rules.space = records::SpaceAround::Json;
    if (shape.at) rules.at = records::parse_pointer(shape.at).value();
    return rules;
}

// Runs `stream` to its end into `sink`; the errors met on the way counted.
void drain(records::RecordStream stream, CountingSink& sink, std::uint64_t& errors) {
    json::SinkBuilder<CountingSink> builder(sink);
    stream.build_with(&builder);
    for (std::size_t steps = 0; steps < 10 * kRecords; ++steps) {
        auto slot = stream.next_slot();
        if (!slot) {
            ++errors;
            continue;
        }
        if (slot.value().kind == records::Slot::Kind::End) return;
        CHECK(slot.value().kind == records::Slot::Kind::Record && slot.value().built);
        builder.take();
    }
    CHECK(!"the stream never ended");
}

records::RecordSource source_of(std::unique_ptr<records::ByteReader> reader, RecordFormat format) {
    return records::RecordSource(std::move(reader), {}, records::RecordStream::buffer_size(format));
}

}  // namespace

TEST(a_counting_sink_counts_alike_from_every_source_and_format) {
    const std::size_t kept = kRecords - 1;
    const CountingSink::Counts want{kept, 7 * kept, 6 * kept, 6 * kept, 2 * kept};
    for (const Shape& shape : shapes()) {
        const records::StreamRules rules = rules_for(shape);
        const std::string path = write_temp(shape.text, "qvtok-sink");
        std::string packed;
        auto encoder = codecs::make_encoder(codecs::Codec::Gzip);
        CHECK(encoder && encoder->write(shape.text, packed).ok() && encoder->finish(packed).ok());
        const std::string gz_path = write_temp(packed, "qvtok-sink-gz");
        auto open = [&](const std::string& p) { return records::FileReader::open(p, {}).value(); };

        std::vector<std::pair<const char*, std::vector<records::RecordStream>>> sources;
        auto add = [&](const char* name, std::unique_ptr<records::ByteReader> reader) {
            sources.emplace_back(name, std::vector<records::RecordStream>{});
            sources.back().second.push_back(
                records::RecordStream::adopt(source_of(std::move(reader), shape.format), shape.format, rules));
        };
        add("file", open(path));
        add("gzip", records::decompressing_reader(open(gz_path), codecs::Codec::Gzip, {}).value());
        add("short reads", std::make_unique<MemReader>(shape.text, 777));
        auto parts = records::plan_partitions(path, shape.format, rules, shape.text.size() / 7, {});
        CHECK(parts.ok() && parts.value().size() >= 5);
        sources.emplace_back("parts", std::vector<records::RecordStream>{});
        for (const records::PartitionPlan& part : parts.value())
            sources.back().second.push_back(records::open_partition(path, shape.format, rules, part, {}).value());

        for (auto& [name, streams] : sources) {
            CountingSink sink;
            std::uint64_t errors = 0;
            for (records::RecordStream& stream : streams) drain(std::move(stream), sink, errors);
            CHECK(sink.kept == want && sink.pending == CountingSink::Counts{} && errors == 1);
            if (!(sink.kept == want) || errors != 1)
                std::fprintf(stderr, "%s from %s: %llu records, %llu scalars, %llu errors\n", shape.name, name,
                             static_cast<unsigned long long>(sink.kept.records),
                             static_cast<unsigned long long>(sink.kept.scalars),
                             static_cast<unsigned long long>(errors));
        }
        std::remove(path.c_str());
        std::remove(gz_path.c_str());
    }
}

}  // namespace qvtok::test
