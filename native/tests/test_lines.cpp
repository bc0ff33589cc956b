// JSONL lines with long white space around their records: the records,
// their offsets and line numbers, and the errors' places come out as for
// any other line, and what a pass holds meanwhile stays small.
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "stream_support.hpp"

using namespace qvtok;
using records::RecordFormat;

namespace {

// Bytes made as they are read, so that a test can pass hundreds of
// mebibytes without holding them: each piece is a text repeated `times`
// times. A read that reaches `fail_at` fails once with EIO there.
class MadeReader final : public records::ByteReader {
public:
    struct Piece {
        std::string text;
        std::uint64_t times = 1;
    };
    explicit MadeReader(std::vector<Piece> pieces, std::optional<std::uint64_t> fail_at = {})
        : pieces_(std::move(pieces)), fail_at_(fail_at) {}

    Expected<std::size_t, records::IoError> read(char* dst, std::size_t n) override {
        if (fail_at_ && pos_ == *fail_at_) {
            fail_at_.reset();
            return records::IoError::os(EIO);
        }
        if (fail_at_ && *fail_at_ > pos_) n = static_cast<std::size_t>(std::min<std::uint64_t>(n, *fail_at_ - pos_));
        std::size_t out = 0;
        while (out < n && piece_ < pieces_.size()) {
            const Piece& p = pieces_[piece_];
            const std::uint64_t size = p.text.size() * p.times;
            if (in_piece_ == size) {
                ++piece_;
                in_piece_ = 0;
                continue;
            }
            std::size_t at = static_cast<std::size_t>(in_piece_ % p.text.size());
            std::size_t take = std::min(n - out, p.text.size() - at);
            take = static_cast<std::size_t>(std::min<std::uint64_t>(take, size - in_piece_));
            std::memcpy(dst + out, p.text.data() + at, take);
            out += take;
            in_piece_ += take;
        }
        pos_ += out;
        return out;
    }

private:
    std::vector<Piece> pieces_;
    std::optional<std::uint64_t> fail_at_;
    std::size_t piece_ = 0;
    std::uint64_t in_piece_ = 0;
    std::uint64_t pos_ = 0;
};

std::string spaces(std::size_t n, const char* unit = " ") {
    std::string out;
    while (out.size() < n) out += unit;
    return out;
}

// Padding longer than a read buffer before, inside and after records, and
// an error after each kind of it.
struct Padded {
    std::string text;
    std::vector<std::size_t> record_offsets;   // of the records that read
    std::vector<std::size_t> fault_offsets;    // of the bytes that errors name
};

Padded padded_lines() {
    Padded p;
    auto record = [&](const std::string& lead, const std::string& body) {
        p.text += lead;
        p.record_offsets.push_back(p.text.size());
        p.text += body;
    };
    auto fault_after = [&](const std::string& before, const std::string& rest) {
        p.text += before;
        p.fault_offsets.push_back(p.text.size());
        p.text += rest;
    };
    record(spaces(100000), "{\"a\":1}");
    p.text += spaces(200000, " \t") + "\r\n";
    p.text += spaces(70000, "\t") + "\n";
    record("   ", "{\"b\":" + spaces(80000) + "2}");
    p.text += spaces(90000) + "\n";
    record("     ", "{\"c\":\"" + spaces(100000) + "\"}");
    p.text += "\n";
    fault_after("   {\"d\": [1" + spaces(70000), "x]}" + spaces(66000) + "\n");
    fault_after("{\"e\":1}" + spaces(100000), "z\n");
    fault_after("  {\"f\":\"" + spaces(70000), "\t\"}\n");
    record("    ", "7");
    p.text += spaces(70000);
    return p;
}

const std::size_t kChunks[] = {1 << 20, 65536, 4096, 1000, 7, 1};

}  // namespace

TEST(padded_jsonl_lines_give_their_records_at_their_places) {
    const Padded p = padded_lines();
    for (auto space : {records::SpaceAround::WhiteSpace, records::SpaceAround::Json}) {
        for (std::size_t chunk : kChunks) {
            records::StreamRules rules;
            rules.space = space;
            auto stream = test::open_stream(p.text, RecordFormat::Jsonl, rules, chunk);
            auto steps = test::run(stream);
            std::vector<std::string> values;
            std::vector<std::size_t> offsets, faults;
            for (const auto& step : steps) {
                if (step.ok) {
                    values.push_back(step.text);
                    offsets.push_back(step.slot.offset);
                    continue;
                }
                faults.push_back(step.error.offset);
                auto [line, column] = test::line_col(p.text, step.error.offset);
                CHECK_EQ(step.error.file_line, line);
                CHECK_EQ(step.error.file_column, column);
            }
            const std::vector<std::string> want = {"{\"a\":1}", "{\"b\":2}", "{\"c\":\"" + spaces(100000) + "\"}", "7"};
            CHECK(values == want);
            CHECK(offsets == p.record_offsets);
            CHECK(faults == p.fault_offsets);
            CHECK_EQ(stream.bytes_read(), p.text.size());
            CHECK_EQ(stream.lines_read(), 8ull);
        }
    }
}

TEST(padded_jsonl_lines_give_their_raw_texts_and_members) {
    const Padded p = padded_lines();
    for (std::size_t chunk : {std::size_t(1 << 20), std::size_t(4096), std::size_t(7)}) {
        records::StreamRules raw;
        raw.output = records::Output::Raw;
        auto stream = test::open_stream(p.text, RecordFormat::Jsonl, raw, chunk);
        auto steps = test::run(stream);
        CHECK_EQ(steps.size(), std::size_t(7));
        if (steps.size() == 7) {
            CHECK_EQ(steps[1].slot.raw, "{\"b\":" + spaces(80000) + "2}");
            CHECK_EQ(steps[3].slot.raw, "{\"d\": [1" + spaces(70000) + "x]}");
            CHECK_EQ(steps[4].slot.raw, "{\"e\":1}" + spaces(100000) + "z");
        }
    }
    // Members at a pointer, on lines padded on both sides, and a byte
    // after a padded value.
    std::string text = "  {\"k\": [1, 2]}" + spaces(100000) + "\n" + spaces(70000) + "{\"k\":[3]}" +
                       spaces(70000) + "q\n";
    const std::size_t q = text.size() - 2;
    for (std::size_t chunk : {std::size_t(1 << 20), std::size_t(4096), std::size_t(7)}) {
        auto stream = test::open_stream(text, RecordFormat::Jsonl, test::at("/k"), chunk);
        auto steps = test::run(stream);
        CHECK_EQ(steps.size(), std::size_t(4));
        if (steps.size() == 4) {
            CHECK_EQ(steps[0].slot.offset, 9ull);
            CHECK_EQ(steps[2].text, "3");
            CHECK_EQ(steps[2].slot.offset, 15 + 100000 + 1 + 70000 + 6ull);
            CHECK(!steps[3].ok);
            CHECK_EQ(steps[3].error.offset, q);
            auto [line, column] = test::line_col(text, q);
            CHECK_EQ(steps[3].error.file_line, line);
            CHECK_EQ(steps[3].error.file_column, column);
        }
    }
}

namespace {

// The lines of `source` as "number@offset-skipped:record", then the bytes
// and lines counted. An error goes to `on_error` with what the pass holds
// of the line it cut, and the reading goes on while that says so.
template <class OnError>
std::vector<std::string> lines_of(records::RecordSource& source, OnError&& on_error) {
    records::PartialLine unfinished;
    std::uint64_t bytes = 0, lines = 0;
    std::vector<std::string> out;
    for (;;) {
        auto got = records::next_jsonl_line(source, bytes, lines, unfinished, records::SpaceAround::Json);
        if (!got) {
            if (on_error(got.error(), unfinished)) continue;
            break;
        }
        if (!got.value()) break;
        const records::JsonlLine& l = *got.value();
        // What a line hands out is its record, not its padding.
        CHECK(l.text.capacity() < (1u << 20));
        out.push_back(std::to_string(l.number) + "@" + std::to_string(l.offset) + "-" + std::to_string(l.skipped) +
                      ":" + l.text.substr(l.begin, l.length));
    }
    out.push_back("bytes " + std::to_string(bytes) + " lines " + std::to_string(lines));
    return out;
}

}  // namespace

TEST(a_line_that_a_failed_read_cuts_is_finished_by_the_next_call) {
    const Padded p = padded_lines();
    auto read = [&](std::optional<std::uint64_t> fail_at) {
        records::RecordSource source(
            std::make_unique<MadeReader>(std::vector<MadeReader::Piece>{{p.text, 1}}, fail_at), {},
            records::kLineBufferSize);
        int failures = 0;
        return lines_of(source, [&](const Error& error, const records::PartialLine&) {
            CHECK(error.code == ErrorCode::ReadFailed);
            return ++failures == 1;
        });
    };
    const auto whole = read(std::nullopt);
    CHECK_EQ(whole.size(), std::size_t(8));
    // Inside leading padding, at a record's first byte, inside padding that
    // is held after a record, inside a padded record, at a line feed.
    for (std::uint64_t at : {std::uint64_t(50000), std::uint64_t(100000), std::uint64_t(250000),
                             std::uint64_t(p.record_offsets[1] + 40000), std::uint64_t(p.text.find('\n'))}) {
        CHECK(read(at) == whole);
    }
}

namespace {

// Every 256th poll (a fill of a line that spans buffers, so about every
// 16 MiB) says Ctrl-C was pressed.
int polls = 0;
int poll_every_256() { return ++polls % 256 == 0 ? 1 : 0; }

}  // namespace

TEST(a_huge_blank_line_or_padding_is_passed_in_small_memory_and_can_be_interrupted) {
    constexpr std::uint64_t kRun = 96ull << 20;
    std::vector<MadeReader::Piece> pieces = {{"{\"a\":1}\n", 1}, {" ", kRun},         {"\n", 1},
                                             {"  {\"b\":2}", 1}, {"\t", kRun / 2},     {" ", kRun / 2},
                                             {"\r\n", 1},         {"3", 1}};
    InterpreterHooks hooks;
    hooks.poll = &poll_every_256;
    polls = 0;
    records::RecordSource source(std::make_unique<MadeReader>(pieces), hooks, records::kLineBufferSize);
    int interruptions = 0;
    auto got = lines_of(source, [&](const Error& error, const records::PartialLine& unfinished) {
        CHECK(error.code == ErrorCode::Interrupted);
        // What the pass holds of a line it is inside: not the padding.
        CHECK(unfinished.text.capacity() < (1u << 20));
        CHECK(unfinished.length > (1u << 20));
        return ++interruptions < 100;
    });
    const std::uint64_t second = 8 + kRun + 1;
    const std::vector<std::string> want = {"1@0-0:{\"a\":1}", "3@" + std::to_string(second + 2) + "-2:{\"b\":2}",
                                           "4@" + std::to_string(second + 9 + kRun + 2) + "-0:3",
                                           "bytes " + std::to_string(second + 9 + kRun + 2 + 1) + " lines 4"};
    CHECK(got == want);
    // Both long lines were interrupted inside them, and taken up again.
    CHECK(interruptions >= 8);
}
