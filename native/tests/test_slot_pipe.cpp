// A stream read ahead on another thread hands out what it would hand out
// read in step: the same slots, errors and progress, and after the thread
// stops, the stream goes on as it would.
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "core/records/slot_pipe.hpp"
#include "fork_child.hpp"
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

namespace {

std::string numbered_lines(int n) {
    std::string doc;
    for (int i = 0; i < n; ++i) doc += "{\"i\":" + std::to_string(i) + "}\n";
    return doc;
}

std::string numbered(std::size_t n) { return "{\"i\":" + std::to_string(n) + "}"; }

}  // namespace

TEST(a_pipe_left_early_stops_its_thread) {
    const std::string doc = numbered_lines(100000);
    for (std::size_t taken : {0, 1, 64, 65, 1000}) {
        auto stream = test::open_stream(doc, RecordFormat::Jsonl, {}, 4096);
        records::SlotPipe pipe(stream, record_error, {});
        for (std::size_t n = 0; n < taken; ++n) {
            std::uint64_t progress;
            auto slot = pipe.next(progress);
            CHECK(bool(slot));
            CHECK_EQ(test::show(slot.value().record->root()), numbered(n));
        }
    }  // each pipe joins its thread here, waiting or not
}

TEST(a_slot_pipe_in_a_child_of_fork_hands_out_what_it_holds_then_fails_with_forked) {
    const std::size_t total = 100000;
    const std::string doc = numbered_lines(total);
    // Forked while the thread reads, and while it waits for room.
    for (int pause_ms : {0, 20}) {
        for (std::size_t taken : {std::size_t{1}, std::size_t{10}}) {
            auto stream = test::open_stream(doc, RecordFormat::Jsonl, {}, 4096);
            auto pipe = std::make_unique<records::SlotPipe>(stream, record_error, InterpreterHooks{});
            std::uint64_t progress = 0;
            for (std::size_t n = 0; n < taken; ++n) {
                auto slot = pipe->next(progress);
                CHECK(slot && slot.value().record && test::show(slot.value().record->root()) == numbered(n));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
            CHECK(test::in_child_of_fork([&] {
                // The batch in hand comes out in order, then the error,
                // which stays: the stream is as the thread left it.
                std::size_t n = taken;
                Expected<records::Slot> slot = pipe->next(progress);
                for (; slot && n < total; slot = pipe->next(progress), ++n) {
                    CHECK(slot.value().record && test::show(slot.value().record->root()) == numbered(n));
                    if (slot.value().record) pipe->recycle(std::move(*slot.value().record));
                }
                CHECK(n > taken && n < total);
                CHECK(!slot && slot.error().code == ErrorCode::Forked);
                auto again = pipe->next(progress);
                CHECK(!again && again.error().code == ErrorCode::Forked);
                pipe.reset();  // returns at once, the thread not being here
            }));
            // The parent's pipe goes on to the end.
            std::size_t n = taken;
            for (;; ++n) {
                auto slot = pipe->next(progress);
                CHECK(bool(slot));
                if (!slot || slot.value().kind == records::Slot::Kind::End) break;
                if (n < total && test::show(slot.value().record->root()) != numbered(n)) {
                    test::fail(__FILE__, __LINE__, "record " + std::to_string(n) + " in the parent");
                    break;
                }
            }
            CHECK_EQ(n, total);
            CHECK_EQ(progress, std::uint64_t{doc.size()});
        }
    }
}
