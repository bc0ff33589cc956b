#include "core/json/event_ring.hpp"

#include <chrono>

namespace qvtok::json {

bool Doorbell::sleep(int timeout_ms, std::uint64_t want, bool (*ready)(const void*), const void* context) {
    std::unique_lock<std::mutex> lock(mutex_);
    want_.store(want, std::memory_order_relaxed);
    // Marked asleep before the last look: a side that moves after that
    // look sees the mark and rings, and its ring waits for the mutex that
    // this side holds until it sleeps.
    sleeping_.store(true, std::memory_order_seq_cst);
    bool done = ready(context) ||
                cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return ready(context); });
    sleeping_.store(false, std::memory_order_relaxed);
    return done;
}

void Doorbell::ring_slow() {
    { std::lock_guard<std::mutex> lock(mutex_); }
    cv_.notify_one();
}

namespace {

std::atomic<Event*> kept_events{nullptr};

}  // namespace

Event* EventRing::take_events() {
    if (Event* kept = kept_events.exchange(nullptr, std::memory_order_acquire)) return kept;
    return new (std::align_val_t{4096}) Event[kCapacity];
}

void EventRing::give_back(Event* events) {
    Event* none = nullptr;
    if (!kept_events.compare_exchange_strong(none, events, std::memory_order_release))
        ::operator delete[](events, std::align_val_t{4096});
}

bool EventRing::wait_for_room(std::uint64_t at, std::uint64_t need, std::uint64_t& room) {
    // The reader may be waiting for exactly these events.
    written_.store(at, std::memory_order_seq_cst);
    reader_bell_.ring(at);
    auto has_room = [&] {
        return stopped_.load(std::memory_order_acquire) ||
               read_.load(std::memory_order_seq_cst) + kCapacity >= at + need;
    };
    // Asleep, the writer is woken when half the ring is free again.
    const std::uint64_t want = at + need > kCapacity / 2 ? at + need - kCapacity / 2 : 0;
    const auto start = std::chrono::steady_clock::now();
    while (!writer_bell_.wait(has_room, want, 100)) {
    }
    writer_waited_ += std::chrono::steady_clock::now() - start;
    if (stopped_.load(std::memory_order_acquire)) return false;
    room = read_.load(std::memory_order_acquire) + kCapacity;
    return true;
}

bool EventRing::publish(std::uint64_t at) {
    written_.store(at, std::memory_order_seq_cst);
    reader_bell_.ring(at);
    return !stopped_.load(std::memory_order_relaxed);
}

void EventRing::finish(std::uint64_t at) {
    written_.store(at, std::memory_order_seq_cst);
    finished_.store(true, std::memory_order_seq_cst);
    reader_bell_.ring(UINT64_MAX);
}

void EventRing::stop() {
    stopped_.store(true, std::memory_order_seq_cst);
    writer_bell_.ring(UINT64_MAX);
}

std::uint64_t EventRing::wait_for_events(std::uint64_t at, int (*poll)(), bool& polled) {
    polled = false;
    std::uint64_t end = written_.load(std::memory_order_acquire) & ~(kPageEvents - 1);
    if (end > at) return end;
    if (finished_.load(std::memory_order_acquire)) return written_.load(std::memory_order_acquire);
    // Let the writer reuse what has been read while this side waits.
    release(at);
    auto has_events = [&] {
        return finished_.load(std::memory_order_seq_cst) ||
               (written_.load(std::memory_order_seq_cst) & ~(kPageEvents - 1)) > at;
    };
    // Signal handlers run between waits: a writer stuck on a huge text does
    // not keep Ctrl-C from the caller. Asleep, the reader is woken when a
    // good part of the ring is ready, or at the end.
    const auto start = std::chrono::steady_clock::now();
    while (!reader_bell_.wait(has_events, at + kCapacity / 16, 50)) {
        if (poll != nullptr && poll() != 0) {
            polled = true;
            return at;
        }
    }
    reader_waited_ += std::chrono::steady_clock::now() - start;
    // Written before finished: once finished is seen, written is final.
    end = written_.load(std::memory_order_acquire);
    QVTOK_ASSERT(end >= at, "the reader never runs ahead of what was written");
    return finished_.load(std::memory_order_acquire) ? end : end & ~(kPageEvents - 1);
}

}  // namespace qvtok::json
