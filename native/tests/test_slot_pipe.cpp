// A stream read ahead on another thread hands out what it would hand out
// read in step: the same slots, errors and progress, and after the thread
// stops, the stream goes on as it would.
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/records/slot_pipe.hpp"
#include "stream_support.hpp"

using namespace qvtok;
using records::RecordFormat;

namespace {

// The errors after which the stream goes on: those of one record.
bool record_error(const Error& e) { return is_record_error(e.code); }

struct Piped {
    std::vector<test::Step> steps;
    std::vector<std::uint64_t> progress;
};

// As test::run, each step taken through a pipe, and the progress after it.
Piped run_piped(records::RecordStream& stream, std::size_t limit, std::size_t recycle_every) {
    records::SlotPipe pipe(stream, record_error, {});
    Piped out;
    for (std::size_t n = 0; n < limit; ++n) {
        std::uint64_t progress = 0;
        auto slot = pipe.next(progress);
        out.progress.push_back(progress);
        test::Step step;
        if (!test::take_step(std::move(slot), step)) break;
        records::Slot& s = step.slot;
        // Documents given back are filled again by the thread: what was
        // handed out before must not change.
        if (step.ok && s.record && n % recycle_every == 0) pipe.recycle(std::move(*s.record));
        out.steps.push_back(std::move(step));
    }
    return out;
}

}  // namespace

TEST(a_stream_read_ahead_gives_the_steps_it_gives_in_step) {
    static const char* alphabet[] = {"[", "]", "{", "}", ",", ":", "\"", "\\", " ", "\n", "1", "a", "\"f\"", "\"f\":",
                                     "\x01", "\t", "\xff", "null", "\"k\":", "\"\\u0066\":", "[1,2]", "{\"f\":[3]}",
                                     "\n{\"f\":[1,{\"g\":2}]}\n", ",\"x\",", ",{\"f\":1}"};
    static const char* pointers[] = {"", "/f", "/*", "/0", "/f/*", "/*/f", "/k"};
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        std::string doc = rng() % 4 ? (rng() % 2 ? "{" : "[") : "";
        // Long enough now and then for many batches.
        for (unsigned n = rng() % 8 ? rng() % 40 : 2000 + rng() % 4000; n > 0; --n)
            doc += alphabet[rng() % (sizeof alphabet / sizeof *alphabet)];
        const char* pointer = pointers[rng() % (sizeof pointers / sizeof *pointers)];
        RecordFormat format = rng() % 3 ? RecordFormat::Json : RecordFormat::Jsonl;
        const bool parse = rng() % 4 != 0;
        const std::size_t chunk = rng() % 2 ? 1 << 20 : 1 + rng() % 100;
        auto direct = test::open_stream(doc, format, test::at(pointer, parse), chunk);
        auto expected = test::run(direct, 20000);
        auto ahead = test::open_stream(doc, format, test::at(pointer, parse), chunk);
        Piped got = run_piped(ahead, 20000, 1 + rng() % 3);
        if (test::texts(expected) != test::texts(got.steps))
            test::fail(__FILE__, __LINE__, std::string(pointer) + " on " + doc.substr(0, 200) + ": " +
                                               test::texts(expected).substr(0, 400) + " / " +
                                               test::texts(got.steps).substr(0, 400));
        for (std::size_t i = 1; i < got.progress.size(); ++i) CHECK(got.progress[i - 1] <= got.progress[i]);
        CHECK(got.progress.empty() || got.progress.back() <= doc.size());
    }
}

TEST(a_pipe_left_early_stops_its_thread) {
    std::string doc;
    for (int i = 0; i < 100000; ++i) doc += "{\"i\":" + std::to_string(i) + "}\n";
    for (std::size_t taken : {0, 1, 64, 65, 1000}) {
        auto stream = test::open_stream(doc, RecordFormat::Jsonl, {}, 4096);
        records::SlotPipe pipe(stream, record_error, {});
        for (std::size_t n = 0; n < taken; ++n) {
            std::uint64_t progress;
            auto slot = pipe.next(progress);
            CHECK(bool(slot));
            CHECK_EQ(test::show(slot.value().record->root()), "{\"i\":" + std::to_string(n) + "}");
        }
    }  // each pipe joins its thread here, waiting or not
}
