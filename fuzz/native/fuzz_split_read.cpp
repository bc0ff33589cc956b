// A text read on a thread of its own and handed over through the ring must
// hand the building side what the reader hands a sink on one thread: the
// same values in the same order (numbers to the bit, strings to the
// character, keys numbered as a KeyIds table numbers them in order), then
// the same error at the same place. A building side that stops early, or
// that leaves without replaying at all, must end the read at once: without
// a hang (the fuzzer's timeout), a leak (LeakSanitizer) or a value handed
// over after the refusal.
//
// The input is the text. Some inputs are also read repeated many times in
// one array, so that the ring (16 Ki events) comes round and the reading
// side waits for room; which, and where a read is stopped, follow from a
// hash of the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/grammar.hpp"
#include "core/json/key_ids.hpp"
#include "core/json/split_read.hpp"
#include "core/json/utf8.hpp"

using namespace qvtok::json;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_split_read: %s\n", what);
    std::abort();
}

void expect(bool ok, const char* what) {
    if (!ok) fail(what);
}

// What a read handed over, one token per event, as a sink of either read.
// Strings are written down as their UTF-8, however they came; where the
// text is no UTF-8 the characters of a non-ASCII string mean nothing, and
// only that one came is written.
struct Record {
    bool utf8 = true;
    long stop_at = -1;  // the event whose call returns false; -1: none
    std::string out;
    std::vector<std::size_t> ends;  // where each event's token ends in `out`

    bool note(char kind, std::string_view bytes = {}) {
        out += kind;
        out += std::to_string(bytes.size());
        out += ':';
        out += bytes;
        ends.push_back(out.size());
        return static_cast<long>(ends.size()) - 1 != stop_at;
    }
    bool number(char kind, std::uint64_t bits) { return note(kind, std::to_string(bits)); }
    bool text(char kind, std::string_view bytes, bool ascii) {
        if (!ascii && !utf8) return note(kind, "?");
        return note(ascii ? kind : static_cast<char>(kind - 'a' + 'A'), bytes);
    }
    bool numbered(std::uint32_t id, std::string_view bytes, bool ascii) {
        return note('#', std::to_string(id)) && text('k', bytes, ascii);
    }

    bool literal(Kind k) { return note(k == Kind::Null ? 'n' : k == Kind::True ? 't' : 'f'); }
    bool unsigned_int(std::uint64_t v) { return number('u', v); }
    bool negative_int(std::int64_t v) { return number('i', static_cast<std::uint64_t>(v)); }
    bool floating(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        return number('d', bits);
    }
    bool big_int(std::string_view literal) { return note('b', literal); }
    bool string(std::string_view bytes, bool ascii) { return text('s', bytes, ascii); }
    bool key(std::string_view bytes, bool ascii) { return text('k', bytes, ascii); }
    bool close_array(std::size_t n) { return number('a', n); }
    bool close_object(std::size_t n) { return number('o', n); }
};

// The one-thread reader's sink, numbering keys as the split read does: a
// table of its own, fed every key in order.
struct OneThreadRecord : Record {
    KeyIds ids;
    std::deque<std::string> keys;  // the table keeps pointers into them

    std::string_view source;  // the split read numbers only keys that are its text's own bytes

    bool key(std::string_view bytes, bool ascii) {
        if (bytes.data() < source.data() || bytes.data() > source.data() + source.size()) return text_key(bytes, ascii);
        const std::string& kept = keys.emplace_back(bytes);
        const std::uint32_t id = ids.id(kept);
        if (id == KeyIds::kNone) return text_key(bytes, ascii);
        return numbered(id, bytes, ascii);
    }
    bool text_key(std::string_view bytes, bool ascii) { return Record::text('k', bytes, ascii); }
};

// The split read's sink: numbered keys and strings as characters besides.
struct SplitRecord : Record {
    bool numbered_key(std::uint32_t id, std::string_view bytes, bool ascii) { return numbered(id, bytes, ascii); }
    // A non-ASCII string as its characters, at the least width that holds
    // the largest of them.
    bool units(const void* units, Utf8Shape shape) {
        if (!utf8) return text('s', {}, false);
        expect(shape.max_char == 0xFF || shape.max_char == 0xFFFF || shape.max_char == 0x10FFFF,
               "a string's width is none of the three");
        std::string utf8_bytes;
        std::uint32_t largest = 0;
        for (std::size_t i = 0; i < shape.chars; ++i) {
            std::uint32_t c;
            switch (unit_width(shape.max_char)) {
                case 1: c = static_cast<const std::uint8_t*>(units)[i]; break;
                case 2: c = static_cast<const std::uint16_t*>(units)[i]; break;
                default: c = static_cast<const std::uint32_t*>(units)[i]; break;
            }
            expect(c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF), "a character that is none");
            largest = std::max(largest, c);
            append_utf8(utf8_bytes, c);
        }
        const std::uint32_t least = largest <= 0xFF ? 0xFF : largest <= 0xFFFF ? 0xFFFF : 0x10FFFF;
        expect(least == shape.max_char, "a string wider than its characters need");
        return text('s', utf8_bytes, false);
    }
};

std::string outcome(const std::optional<JsonParseError>& e) {
    if (!e) return "ok";
    if (e->interrupted) return "stopped";
    char buf[96];
    std::snprintf(buf, sizeof buf, "error %d at %llu:%llu offset %llu", static_cast<int>(e->syntax),
                  static_cast<unsigned long long>(e->line), static_cast<unsigned long long>(e->column),
                  static_cast<unsigned long long>(e->offset));
    return buf;
}

std::uint64_t hash(const std::uint8_t* data, std::size_t size) {
    std::uint64_t h = 0xcbf29ce484222325u;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001b3u;
    return h;
}

int always_stop() { return 1; }

// Reads `text` both ways under `options` and compares; then stops a split
// read after the event `stop` (within the events, or past them), and
// stops one by its check from the start.
void compare(const std::string& text, const ReadOptions& options, std::uint64_t h) {
    const bool utf8 = is_valid_utf8(text);
    OneThreadRecord expected;
    expected.utf8 = utf8;
    expected.source = text;
    const std::string want = outcome(read_json_into(text, expected, options, nullptr));
    expect(want != "stopped", "a read without a check was stopped");

    {
        auto split = SplitRead::start(text, options);
        if (split == nullptr) return;  // no thread to be had: nothing to compare
        SplitRecord got;
        got.utf8 = utf8;
        const std::string have = outcome(split->replay(got, nullptr));
        expect(!split->out_of_memory(), "a small text ran out of memory");
        if (have != want || got.out != expected.out) {
            std::fprintf(stderr, "one thread: %s\n%s\nsplit: %s\n%s\n", want.c_str(), expected.out.c_str(),
                         have.c_str(), got.out.c_str());
            fail("a split read hands over something else than one thread reads");
        }
    }

    // Stopped by the building side after `stop` events: exactly those and
    // the refused one came, and the read reports that it was stopped.
    const std::size_t events = expected.ends.size();
    const long stop = static_cast<long>((h >> 8) % (events + 1));
    {
        auto split = SplitRead::start(text, options);
        if (split == nullptr) return;
        SplitRecord got;
        got.utf8 = utf8;
        got.stop_at = stop;
        const std::string have = outcome(split->replay(got, nullptr));
        if (static_cast<std::size_t>(stop) < events) {
            expect(have == "stopped", "a refused event did not stop the read");
            expect(got.ends.size() == static_cast<std::size_t>(stop) + 1, "events came after the refusal");
            expect(std::string_view(expected.out).substr(0, expected.ends[stop]) == got.out,
                   "a stopped read handed over something else before it stopped");
        } else {
            expect(have == want && got.out == expected.out, "a sink that refuses nothing changed the read");
        }
    }

    // A check that asks to stop is asked only now and then: the read either
    // stops, having handed over a part of what it would have, or ends as it
    // would have.
    {
        auto split = SplitRead::start(text, options);
        if (split == nullptr) return;
        SplitRecord got;
        got.utf8 = utf8;
        const std::string have = outcome(split->replay(got, always_stop));
        expect(std::string_view(expected.out).substr(0, got.out.size()) == got.out,
               "a read stopped by its check handed over something else");
        if (have != "stopped") expect(have == want && got.out == expected.out, "a check changed the read");
    }

    // Left without a replay, or taken back before its thread began: the
    // read ends with its owner.
    auto split = SplitRead::start(text, options);
    if (split != nullptr && (h & 0x10000) != 0) split->withdraw();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t h = hash(data, size);
    std::string text(reinterpret_cast<const char*>(data), size);
    const ReadOptions options = (h & 1) ? kJsonModuleOptions : ReadOptions{};
    compare(text, options, h);
    // One input in eight again as the elements of an array of some 256 KiB,
    // many times the ring: its reading side waits for room, and blocks of
    // decoded strings are filled again.
    if ((h & 0xE) == 0) {
        const std::size_t copies = (std::size_t{256} << 10) / (size + 1) + 1;
        std::string many = "[";
        many.reserve(copies * (size + 1) + 2);
        for (std::size_t i = 0; i < copies; ++i) {
            if (i != 0) many += ',';
            many += text;
        }
        many += ']';
        compare(many, options, h >> 4);
    }
    return 0;
}
