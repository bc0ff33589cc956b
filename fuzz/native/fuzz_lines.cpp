// The JSONL line reader and record counter against a reference that splits
// the bytes at line feeds by hand. The bytes go into a memory file that a
// RecordSource opens like any other file; the first byte picks the size of
// the source's buffer, so that lines, characters and the counter's state
// cross buffer edges at every place.
//   - count_jsonl_records gives the number of lines holding something besides
//     Unicode White_Space, or InvalidUtf8 when some line is not UTF-8;
//   - the record stream skips blank lines, reports a line that is not UTF-8
//     (InvalidUtf8) or not one JSON value (InvalidLine) at that line's offset
//     and goes on with the next one, parses every other line as the reader
//     parses it alone, ends after the last, and has read every byte.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/utf8.hpp"
#include "core/records/count.hpp"
#include "core/records/fault_place.hpp"
#include "core/records/lines.hpp"
#include "core/records/source.hpp"
#include "core/records/stream.hpp"

using namespace qvtok;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_lines: %s\n", what);
    std::abort();
}

void expect(bool ok, const char* what) {
    if (!ok) fail(what);
}

// One memory file for the whole run, rewritten for each input.
int memory_file() {
    static const int fd = [] {
        int f = memfd_create("fuzz_lines", MFD_CLOEXEC);
        if (f < 0) fail("memfd_create failed");
        return f;
    }();
    return fd;
}

records::RecordSource open_with(std::string_view bytes, std::size_t buffer_size) {
    int fd = memory_file();
    expect(ftruncate(fd, 0) == 0, "ftruncate failed");
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        expect(n > 0, "pwrite failed");
        done += static_cast<std::size_t>(n);
    }
    // A path of its own gives a file position of its own, starting at 0.
    auto source = records::RecordSource::open("/proc/self/fd/" + std::to_string(fd), {}, buffer_size);
    expect(source.ok(), "cannot open the memory file");
    return std::move(source).value();
}

// Unicode White_Space, from its list of code points.
bool white_space(std::uint32_t cp) {
    static const std::uint32_t list[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,
                                         0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006,
                                         0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F,
                                         0x3000};
    for (std::uint32_t w : list)
        if (w == cp) return true;
    return false;
}

// Whether a line (known to be UTF-8) holds anything but White_Space.
bool significant(std::string_view line) {
    for (std::size_t i = 0; i < line.size();) {
        unsigned char b = static_cast<unsigned char>(line[i]);
        std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        std::uint32_t cp = len == 1 ? b : b & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) cp = cp << 6 | (static_cast<unsigned char>(line[i + k]) & 0x3F);
        if (!white_space(cp)) return true;
        i += len;
    }
    return false;
}

struct Line {
    std::string text;  // without the line feed
    bool utf8;
    bool ended;        // by a line feed, not by the end of the file
    std::size_t start; // its offset in the file
};

std::vector<Line> split(std::string_view bytes) {
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t lf = bytes.find('\n', start);
        std::size_t end = lf == std::string_view::npos ? bytes.size() : lf;
        std::string_view whole = bytes.substr(start, (lf == std::string_view::npos ? end : lf + 1) - start);
        lines.push_back({std::string(bytes.substr(start, end - start)), json::is_valid_utf8(whole),
                         lf != std::string_view::npos, start});
        start = lf == std::string_view::npos ? bytes.size() : lf + 1;
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const std::size_t sizes[] = {1, 2, 3, 5, 16, 31, 64, 100, 4096, records::kCountBufferSize};
    std::size_t buffer_size = sizes[data[0] % (sizeof sizes / sizeof sizes[0])];
    std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<Line> lines = split(bytes);

    bool all_utf8 = true;
    std::uint64_t expected = 0;
    for (const Line& l : lines) {
        all_utf8 = all_utf8 && l.utf8;
        if (l.utf8 && significant(l.text)) ++expected;
    }
    {
        records::RecordSource source = open_with(bytes, buffer_size);
        auto counted = records::count_jsonl_records(source);
        if (all_utf8) {
            expect(counted.ok(), "count failed on UTF-8 text");
            expect(counted.value() == expected, "count differs from the reference");
        } else {
            expect(!counted.ok() && counted.error().code == ErrorCode::InvalidUtf8,
                   "count did not report text that is not UTF-8");
        }
    }
    {
        auto stream = records::RecordStream::adopt(open_with(bytes, buffer_size), records::RecordFormat::Jsonl);
        for (const Line& l : lines) {
            if (l.utf8 && !significant(l.text)) continue;
            auto got = stream.next();
            if (!l.utf8) {
                expect(!got.ok() && got.error().code == ErrorCode::InvalidUtf8 && got.error().offset == l.start,
                       "a line that is not UTF-8 was not reported at its place");
                continue;
            }
            std::string_view trimmed = records::trim_whitespace(l.text);
            std::size_t begin = static_cast<std::size_t>(trimmed.data() - l.text.data());
            auto alone = json::read_json_text(l.text, begin, trimmed.size());
            if (alone.ok()) {
                expect(got.ok() && got.value().has_value(), "a line that parses alone failed in the stream");
            } else {
                // Placed where json places it: a fault at the end of the
                // line's text just past its last byte.
                Error placed = json::syntax_error(ErrorCode::InvalidLine, alone.error(), l.start + begin);
                records::json_place(placed);
                expect(!got.ok() && got.error().code == ErrorCode::InvalidLine &&
                           got.error().syntax == alone.error().syntax && got.error().offset == placed.offset,
                       "a broken line was not reported as the reader reports it, at its place");
            }
        }
        auto end = stream.next();
        expect(end.ok() && !end.value().has_value(), "records after the last line");
        expect(stream.bytes_read() == bytes.size(), "progress stops short of the end");
    }
    return 0;
}
