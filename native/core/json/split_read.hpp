// One large text read on two threads: the reader runs on a thread of its
// own and hands its values through a ring to the caller's thread, which
// builds them (Python's objects) meanwhile. Parsing then costs the caller
// only the reading of the ring.
#pragma once

#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/json/event_ring.hpp"
#include "core/json/key_ids.hpp"
#include "core/json/number.hpp"
#include "core/json/reader.hpp"
#include "core/json/utf8.hpp"
#include "core/threads/core_watch.hpp"
#include "core/threads/job_thread.hpp"

namespace qvtok::json {

class SplitRead {
public:
    // Starts reading `text`, which must outlive this object, on a thread;
    // null when no thread could be had.
    static std::unique_ptr<SplitRead> start(std::string_view text, const ReadOptions& options);
    // A text will be started soon: the thread is woken now, while the
    // caller still reads the text.
    static void prepare() { threads::JobThread::wake_early(); }
    // The thread has not begun to read: it never will, and the caller may
    // read the text itself. False once it has begun.
    bool withdraw() { return thread_.withdraw(); }
    // Stops the thread if it still reads, and waits for it.
    ~SplitRead();
    SplitRead(const SplitRead&) = delete;
    SplitRead& operator=(const SplitRead&) = delete;

    // Hands the text's values to `sink` (as read_json_into does) as the
    // thread reads them, short keys as numbered_key(id, bytes, ascii): one
    // id is one key's bytes within the read, and ids count up from 0 in
    // the order of their first use (see KeyIds); non-ASCII strings as
    // units(characters, Utf8Shape): shape.chars units of the width that
    // shape.max_char needs (see unit_width), and the text's error, if any, once it has handed
    // everything before it. A sink that returns false, or `check` nonzero,
    // ends the read with an error marked interrupted. Called once.
    template <class Sink>
    std::optional<JsonParseError> replay(Sink& sink, InterruptCheck check);

    // After replay: the thread stopped because it found no memory (for a
    // decoded string), not because of the text.
    bool out_of_memory() const { return out_of_memory_; }

private:
    SplitRead(std::string_view text, const ReadOptions& options) : text_(text), options_(options) {}
    void run();
    std::optional<JsonParseError> stopped();

    // Strings that are not the text's own bytes: those whose escapes were
    // decoded, and non-ASCII ones decoded to their characters. They are
    // kept in blocks that stay in place while events point into them; a
    // block is filled again once the building thread has released every
    // event that does.
    class Decoded {
    public:
        // Room for `n` bytes at an address that is a multiple of 4, for
        // events written before `until`.
        char* take(std::size_t n, std::uint64_t until, const EventRing& ring);

    private:
        struct Block {
            std::unique_ptr<char[]> bytes;
            std::size_t size;
            std::uint64_t until;  // the events that point into it come before this
        };
        std::deque<Block> blocks_;  // oldest first; the last one is being filled
        std::size_t used_ = 0;
    };
    friend struct RingSink;

    std::string_view text_;
    ReadOptions options_;
    EventRing ring_;
    Decoded decoded_;
    KeyIds key_ids_;  // the thread's
    std::optional<JsonParseError> fault_;  // the thread's; read after it finished
    bool out_of_memory_ = false;           // likewise
    threads::JobThread thread_;
};

template <class Sink>
std::optional<JsonParseError> SplitRead::replay(Sink& sink, InterruptCheck check) {
    // About a millisecond of building between two checks.
    constexpr unsigned kEventsBetweenChecks = 1u << 16;
    unsigned until_check = kEventsBetweenChecks;
    std::uint64_t at = 0, end = 0, released = 0;
    threads::CoreWatch watch;
    for (;;) {
        if (at == end) {
            bool polled = false;
            end = ring_.wait_for_events(at, check, polled);
            if (polled) return stopped();
            if (end == at) break;
        }
        const Event e = ring_.event(at++);
        bool ok;
        switch (static_cast<Kind>(e.head & 0xF)) {
            case Kind::Null:
            case Kind::False:
            case Kind::True: ok = sink.literal(static_cast<Kind>(e.head & 0xF)); break;
            case Kind::Unsigned: ok = sink.unsigned_int(e.payload); break;
            case Kind::Negative: ok = sink.negative_int(static_cast<std::int64_t>(e.payload)); break;
            case Kind::Float: {
                double f;
                if (e.head & kDecimalBit) {
                    f = detail::fast_decimal_to_double(
                        e.payload, static_cast<std::int64_t>(e.head >> kSizeShift) + detail::fast::kLemireLow,
                        (e.head & kAsciiBit) != 0);
                } else {
                    std::memcpy(&f, &e.payload, sizeof f);
                }
                ok = sink.floating(f);
                break;
            }
            case Kind::String: {
                const auto* p = reinterpret_cast<const char*>(e.payload);
                const bool ascii = (e.head & kAsciiBit) != 0;
                if (e.head & kKeyIdBit) {
                    const std::size_t size = (e.head & ((std::uint64_t{1} << kKeyIdShift) - 1)) >> kSizeShift;
                    ok = sink.numbered_key(static_cast<std::uint32_t>(e.head >> kKeyIdShift),
                                           std::string_view(p, size), ascii);
                    break;
                }
                std::string_view bytes(p, e.head >> kSizeShift);
                if (e.head & kShapeBit) {
                    // Written together with its string: published with it.
                    const Event& shape = ring_.event(at++);
                    const Utf8Shape s{shape.payload, static_cast<std::uint32_t>(shape.head)};
                    ok = sink.units(p, s);
                } else {
                    ok = (e.head & kKeyBit) ? sink.key(bytes, ascii) : sink.string(bytes, ascii);
                }
                break;
            }
            case Kind::BigInt:
                ok = sink.big_int(std::string_view(reinterpret_cast<const char*>(e.payload), e.head >> kSizeShift));
                break;
            case Kind::Array: ok = sink.close_array(e.head >> kSizeShift); break;
            case Kind::Object: ok = sink.close_object(e.head >> kSizeShift); break;
            default: ok = (e.head & 0xF) == kFiller; break;
        }
        if (!ok) [[unlikely]]
            return stopped();
        if (at - released >= 16 * EventRing::kBatch) [[unlikely]] {
            ring_.release(at);
            released = at;
        }
        if (--until_check == 0) [[unlikely]] {
            until_check = kEventsBetweenChecks;
            if (check != nullptr && check() != 0) return stopped();
        }
    }
    thread_.join();
    // The caller kept from its core (the reading thread took it, say):
    // the next texts are read on one thread for a while.
    watch.waited(ring_.reader_waited());
    watch.report();
    // What the reading thread threw is thrown here, on the caller's.
    if (auto thrown = thread_.take_thrown()) std::rethrow_exception(thrown);
    return fault_;
}

}  // namespace qvtok::json
