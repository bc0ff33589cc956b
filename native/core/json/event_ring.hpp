// The values of a reader's sink, passed from the thread that reads to the
// thread that builds: one writer, one reader, a fixed ring of 16-byte
// events in the order the reader met the values. Each side publishes its
// position every so many events, not every event, so the two cores share
// a cache line a few times per thousand values.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>

#include "core/check.hpp"
#include "core/json/value.hpp"
#include "core/threads/watch.hpp"

namespace qvtok::json {

// An event: a value's head as a tape node has it (kind, ASCII bit, byte
// length or element count), and its payload: the number's bits, or the
// address of a string's bytes. A container's event is its close, with its
// count; a float with kDecimalBit set holds the parts of its literal (the
// significand in the payload, the exponent in the head, kAsciiBit for its
// sign) for the building thread to convert; a key is a string with kKeyBit
// set. A key with kKeyIdBit set carries its KeyIds number in the head's
// top half, its length below it. A string with kShapeBit set is followed
// by an event that holds its Utf8Shape: max_char in the head, chars in the
// payload; its own payload then points at its characters, decoded to units
// of the shape's width.
struct Event {
    std::uint64_t head;
    std::uint64_t payload;
};

inline constexpr std::uint64_t kKeyBit = 1u << 6;
inline constexpr std::uint64_t kShapeBit = 1u << 7;
inline constexpr std::uint64_t kKeyIdBit = 1u << 5;
inline constexpr unsigned kKeyIdShift = 32;
inline constexpr std::uint64_t kDecimalBit = kKeyIdBit;  // the same bit, on a Float
// An event that stands for nothing: its kind is none of Kind's.
inline constexpr std::uint64_t kFiller = 0xF;

// A side that found nothing to do waits here until the other side moves.
// Waiting spins a little first: the other side is usually a few events
// away, and sleeping costs a system call on both sides. A side that sleeps
// asks to be woken only once the other has moved far enough (`want`), so
// that it is not woken for every batch.
class Doorbell {
public:
    // How long a side watches before it sleeps.
    static constexpr std::chrono::microseconds kWatchFor{20};

    // Waits until `ready()` or until `timeout_ms` pass; `ready` is asked
    // again after every wake. True when ready.
    template <class Ready>
    bool wait(Ready ready, std::uint64_t want, int timeout_ms);
    // The other side has reached `position`: wakes the waiter if it sleeps
    // and wants no more than that. Cheap when none does.
    void ring(std::uint64_t position) {
        if (sleeping_.load(std::memory_order_seq_cst) && position >= want_.load(std::memory_order_relaxed))
            ring_slow();
    }

private:
    void ring_slow();
    bool sleep(int timeout_ms, std::uint64_t want, bool (*ready)(const void*), const void* context);

    std::atomic<bool> sleeping_{false};
    std::atomic<std::uint64_t> want_{0};
    std::mutex mutex_;
    std::condition_variable cv_;
};

class EventRing {
public:
    static constexpr std::size_t kCapacity = std::size_t{1} << 14;  // 256 KiB: within the builder's L2
    // How many events either side handles before it publishes its place.
    static constexpr std::uint64_t kBatch = 64;

    // The reader takes events a whole page at a time, and only pages the
    // writer has finished: the reader's prefetches, which stay within a
    // page, then never take a line that the writer still fills. A side
    // that follows close behind the other would otherwise pull each line
    // away from the writer as it is written, and slow it down twofold.
    static constexpr std::uint64_t kPageEvents = 4096 / sizeof(Event);

    EventRing() : events_(take_events()) {}
    ~EventRing() { give_back(events_); }
    EventRing(const EventRing&) = delete;
    EventRing& operator=(const EventRing&) = delete;

    // Writer's side.
    class Writer {
    public:
        explicit Writer(EventRing& ring) : ring_(ring) {}
        // False once the reader has stopped the ring: the writer should end.
        [[gnu::always_inline]] bool put(std::uint64_t head, std::uint64_t payload) {
            if (at_ == room_) [[unlikely]] {
                if (!ring_.wait_for_room(at_, 1, room_)) return false;
            }
            QVTOK_ASSERT(at_ < ring_.read_.load(std::memory_order_relaxed) + kCapacity,
                         "the writer overwrites only events the reader has released");
            ring_.events_[at_ & (kCapacity - 1)] = Event{head, payload};
            if (++at_ % kBatch == 0) [[unlikely]]
                return ring_.publish(at_);
            return true;
        }
        // Two events that the reader gets together: never published apart,
        // nor on two pages (the reader takes whole pages), which a filler
        // in the page's last place prevents.
        bool put_pair(Event first, Event second) {
            if ((at_ + 1) % kPageEvents == 0) [[unlikely]] {
                if (!put(kFiller, 0)) return false;
            }
            if (room_ - at_ < 2) [[unlikely]] {
                if (!ring_.wait_for_room(at_, 2, room_)) return false;
            }
            QVTOK_ASSERT(at_ + 1 < ring_.read_.load(std::memory_order_relaxed) + kCapacity,
                         "the writer overwrites only events the reader has released");
            QVTOK_ASSERT((at_ + 1) / kPageEvents == at_ / kPageEvents, "a pair of events stays on one page");
            ring_.events_[at_ & (kCapacity - 1)] = first;
            ring_.events_[(at_ + 1) & (kCapacity - 1)] = second;
            at_ += 2;
            if (at_ % kBatch < 2) [[unlikely]]
                return ring_.publish(at_);
            return true;
        }
        // Publishes what is left; the ring then holds all the writer's events.
        void finish() { ring_.finish(at_); }
        // The place of the next event.
        std::uint64_t position() const { return at_; }

    private:
        EventRing& ring_;
        std::uint64_t at_ = 0;
        std::uint64_t room_ = kCapacity;  // the writer may fill up to here without asking
    };

    // Reader's side: the events [at, end) that may be read, waiting for the
    // writer while there are none. end == at when the writer has finished
    // and everything is read, or when `poll` (asked every so often while
    // waiting) returned nonzero: then `polled` is set.
    std::uint64_t wait_for_events(std::uint64_t at, int (*poll)(), bool& polled);
    const Event& event(std::uint64_t i) const { return events_[i & (kCapacity - 1)]; }
    // The reader is done with the events before `at`.
    void release(std::uint64_t at) {
        QVTOK_ASSERT(at >= read_.load(std::memory_order_relaxed) && at <= written_.load(std::memory_order_acquire),
                     "the reader releases only events it was given, and never takes a release back");
        read_.store(at, std::memory_order_seq_cst);
        writer_bell_.ring(at);
    }
    // The events before this have been released by the reader.
    std::uint64_t released() const { return read_.load(std::memory_order_acquire); }
    // The reader wants no more events: the writer's next put fails.
    void stop();
    // The writer's: how long it has waited for room.
    std::chrono::nanoseconds writer_waited() const { return writer_waited_; }
    // The reader's: how long it has waited for events.
    std::chrono::nanoseconds reader_waited() const { return reader_waited_; }

private:
    // Publishes `at` and waits until `need` more events fit.
    bool wait_for_room(std::uint64_t at, std::uint64_t need, std::uint64_t& room);
    bool publish(std::uint64_t at);
    void finish(std::uint64_t at);

    // A ring's events are kept for the next ring when it goes: every large
    // read makes one, and fresh memory would cost it 64 page faults.
    static Event* take_events();
    static void give_back(Event* events);

    Event* events_;
    // Each on its own cache line: one side writes it, the other reads it.
    alignas(64) std::atomic<std::uint64_t> written_{0};
    alignas(64) std::atomic<std::uint64_t> read_{0};
    alignas(64) std::atomic<bool> finished_{false};
    std::atomic<bool> stopped_{false};
    std::chrono::nanoseconds writer_waited_{0};  // the writer's
    std::chrono::nanoseconds reader_waited_{0};  // the reader's
    Doorbell reader_bell_;  // the writer published
    Doorbell writer_bell_;  // the reader released
};

template <class Ready>
bool Doorbell::wait(Ready ready, std::uint64_t want, int timeout_ms) {
    if (threads::watch(ready, kWatchFor)) return true;
    return sleep(
        timeout_ms, want, [](const void* c) { return (*static_cast<const Ready*>(c))(); }, &ready);
}

}  // namespace qvtok::json
