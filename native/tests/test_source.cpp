// A file read with part of it on another thread: the same bytes as reads
// one after another, however the file's end falls, and the reads that
// follow go on from where it stopped.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "check.hpp"
#include "core/records/source.hpp"
#include "fork_child.hpp"
#include "temp_file.hpp"

using namespace qvtok;

namespace {

// Everything the source gives: first `first` bytes by plain reads, then
// one read in parallel of `ask` bytes, then plain reads to the end.
std::string read_all(const std::string& path, std::size_t first, std::size_t ask) {
    auto source = records::RecordSource::open(path, {});
    CHECK(source.ok());
    std::string out(first, '\0');
    std::size_t have = 0;
    while (have < first) {
        auto got = source.value().read(out.data() + have, first - have);
        CHECK(got.ok());
        if (!got.ok() || got.value() == 0) break;
        have += got.value();
    }
    out.resize(have);
    std::string big(ask, '\0');
    auto got = source.value().read_in_parallel(big.data(), ask);
    CHECK(got.ok());
    out.append(big.data(), got.ok() ? got.value() : 0);
    char buf[4096];
    for (;;) {
        auto more = source.value().read(buf, sizeof buf);
        CHECK(more.ok());
        if (!more.ok() || more.value() == 0) break;
        out.append(buf, more.value());
    }
    return out;
}

}  // namespace

TEST(a_read_in_parallel_gives_the_bytes_in_order_wherever_the_file_ends) {
    std::mt19937_64 rng(13122026);
    std::string bytes(3u << 20, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    const std::string path = test::write_temp(bytes, "qvtok-source");
    const std::size_t size = bytes.size();
    // Asked for exactly the rest, for more (the end in the second half),
    // for far more (the end in the first half), for less, after a few
    // buffered bytes and after a read that left the buffer empty.
    for (std::size_t first : {std::size_t{0}, std::size_t{10}, std::size_t{8192}, std::size_t{100000}}) {
        for (std::size_t ask : {size - first, size - first + 5000, 3 * size, (size - first) / 2, std::size_t{300000}}) {
            const std::string got = read_all(path, first, ask);
            CHECK_EQ(got.size(), size);
            CHECK(got == bytes);
        }
    }
    std::remove(path.c_str());
}

TEST(a_file_read_in_parallel_in_parent_and_child_of_fork_gives_each_every_byte) {
    // Parent and child share the descriptor, and with it the file position
    // that read() would move: each must still read the file whole, in
    // order, the two reading at the same time.
    std::mt19937_64 rng(31415);
    std::string bytes(6u << 20, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    const std::string path = test::write_temp(bytes, "qvtok-fork");
    auto opened = records::FileReader::open(path, {});
    CHECK(opened.ok());
    if (!opened.ok()) return;
    records::ByteReader& file = *opened.value();
    std::string head(1000, '\0');
    auto first = file.read(head.data(), head.size());
    CHECK(first.ok() && first.value() == head.size());
    // Small reads and large ones, the large ones halved with another
    // thread.
    auto read_rest = [&] {
        std::string out = head;
        std::string buf(3u << 20, '\0');
        for (std::size_t i = 0;; ++i) {
            auto got = i % 3 == 2 ? file.read_in_parallel(buf.data(), buf.size()) : file.read(buf.data(), 4096 + i % 5);
            CHECK(got.ok());
            if (!got.ok() || got.value() == 0) return out;
            out.append(buf.data(), got.value());
        }
    };
    CHECK(test::in_child_of_fork([&] { CHECK(read_rest() == bytes); }, [&] { CHECK(read_rest() == bytes); }));
    std::remove(path.c_str());
}
