// A stream read on a thread of its own, a few batches of records ahead of
// the caller: reading and parsing then run beside whatever the caller does
// with each record (building Python values).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "core/records/stream.hpp"
#include "core/threads/core_watch.hpp"
#include "core/threads/worker.hpp"

namespace qvtok::records {

class SlotPipe {
public:
    // From here on `stream` is read only by the thread, until the pipe has
    // handed out the end or an error that `goes_on` says ends the stream,
    // or either thread finds itself kept from a core; the pipe then reads
    // it on the caller's thread. The stream must need
    // no interpreter (no hooks, a source readable off the caller's thread).
    // `hooks` serve the caller's waits: the interpreter is released while
    // it waits, and signal handlers run between waits. Throws
    // std::system_error when no thread can be had.
    SlotPipe(RecordStream& stream, std::function<bool(const Error&)> goes_on, InterpreterHooks hooks);
    SlotPipe(const SlotPipe&) = delete;
    SlotPipe& operator=(const SlotPipe&) = delete;
    ~SlotPipe();

    // The next slot, as the stream gave it, and the stream's progress
    // (ByteReader::progress, else the bytes read) right after it. Fails
    // with Interrupted when a signal handler raised while it waited, and
    // with Forked in a child of fork, where the thread is not.
    Expected<Slot> next(std::uint64_t& progress);
    // Gives a document back for the stream to reuse.
    void recycle(json::Document doc);
    // The thread has stopped, at the end of the stream or because it found
    // no core free: the stream is read on the caller's thread from here on.
    bool finished() const { return finished_; }

private:
    // Closes a batch: so many slots, or records of so many bytes.
    static constexpr std::size_t kBatchSlots = 64;
    static constexpr std::size_t kBatchBytes = 1 << 20;
    static constexpr std::size_t kBatches = 4;  // ready and not yet taken

    struct Entry {
        Expected<Slot> slot;
        std::uint64_t progress;
    };
    struct Batch {
        std::vector<Entry> entries;
        std::exception_ptr thrown;  // after the entries, what the stream threw
        bool last = false;          // the thread read no further
    };

    void run();
    // Waits until a batch is ready; false when a signal handler raised.
    bool wait_for_batch();
    bool ends(const Expected<Slot>& slot) const;

    RecordStream& stream_;
    std::function<bool(const Error&)> goes_on_;
    InterpreterHooks hooks_;

    // What the two threads share. Apart, so that a child of fork, where
    // the thread is not, can leave it be: a condition variable that the
    // thread waited on cannot be destroyed there.
    struct Shared {
        std::mutex mutex;
        std::condition_variable ready_cv;  // the thread added a batch
        std::condition_variable taken_cv;  // the caller took one
        std::deque<Batch> ready;            // under mutex
        std::vector<json::Document> spare;  // under mutex: documents for the stream to reuse
        bool stop = false;                  // under mutex: the caller wants no more
        bool ended = false;                 // under mutex: the thread has returned
        bool hand_back = false;             // under mutex: the caller reads on alone
    };
    std::unique_ptr<Shared> shared_ = std::make_unique<Shared>();

    // The caller's side.
    Batch current_;
    std::size_t pos_ = 0;
    bool finished_ = false;  // the thread is done: the stream is the caller's
    threads::CoreWatch caller_watch_;  // whether the caller has its core

    threads::Worker thread_;  // last: started once everything above is set
};

}  // namespace qvtok::records
