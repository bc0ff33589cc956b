// A reader read ahead on another thread, in a child of fork where that
// thread is not: it hands out the block it holds, then fails with Forked
// and is dropped without waiting, while the parent reads on to the end.
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "check.hpp"
#include "core/records/read_ahead.hpp"
#include "fork_child.hpp"
#include "memory_reader.hpp"

using namespace qvtok;
using records::IoError;

namespace {

// Reads `reader` in pieces of `piece` bytes onto `out` until it ends or
// fails; the failure, if any.
std::optional<IoError> read_on(records::ByteReader& reader, std::string& out, std::size_t piece) {
    std::string buf(piece, '\0');
    for (;;) {
        auto got = reader.read(buf.data(), piece);
        if (!got) return got.error();
        if (got.value() == 0) return std::nullopt;
        out.append(buf.data(), got.value());
    }
}

}  // namespace

TEST(a_read_ahead_reader_in_a_child_of_fork_hands_out_its_block_then_fails_with_forked) {
    std::mt19937_64 rng(2718);
    std::string data(12u << 20, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    // Forked while the thread reads, and while it waits for room.
    for (int pause_ms : {0, 20}) {
        for (std::size_t taken : {std::size_t{100}, std::size_t{(1 << 20) + 5}}) {
            auto reader = std::make_unique<records::ReadAheadReader>(
                std::make_unique<test::MemReader>(data, 64 << 10, true), InterpreterHooks{});
            std::string got;
            while (got.size() < taken) {
                std::string piece(taken - got.size(), '\0');
                auto n = reader->read(piece.data(), piece.size());
                CHECK(n && n.value() > 0);
                if (!n || n.value() == 0) break;
                got.append(piece.data(), n.value());
            }
            CHECK(got == data.substr(0, taken));
            std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
            CHECK(test::in_child_of_fork([&] {
                std::string rest;
                std::optional<IoError> error = read_on(*reader, rest, 5000);
                CHECK(error && error->kind == IoError::Kind::Forked);
                CHECK(!rest.empty() && taken + rest.size() < data.size());
                CHECK(rest == data.substr(taken, rest.size()));
                std::string none;
                error = read_on(*reader, none, 5000);  // and stays so
                CHECK(none.empty() && error && error->kind == IoError::Kind::Forked);
                reader.reset();  // returns at once, the thread not being here
            }));
            std::optional<IoError> error = read_on(*reader, got, 7000);
            CHECK(!error);
            CHECK_EQ(got.size(), data.size());
            CHECK(got == data);
        }
    }
}
