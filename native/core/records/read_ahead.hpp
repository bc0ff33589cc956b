// A byte reader that reads another on a thread of its own, a few blocks
// ahead of the caller: decompression then runs beside the scanning.
#pragma once

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "core/records/source.hpp"
#include "core/threads/worker.hpp"

namespace qvtok::records {

class ReadAheadReader final : public ByteReader {
public:
    // `inner` is read only by the thread from here on: it must be readable
    // off the interpreter's thread and never wait long (a regular file).
    // `hooks` serve the caller's waits: the interpreter is released while it
    // waits, and signal handlers run between waits. When no thread can be
    // had, the caller's reads read `inner` themselves. In a child of fork,
    // where the thread is not, reads fail with Forked.
    ReadAheadReader(std::unique_ptr<ByteReader> inner, InterpreterHooks hooks);
    ReadAheadReader(const ReadAheadReader&) = delete;
    ReadAheadReader& operator=(const ReadAheadReader&) = delete;
    ~ReadAheadReader() override;

    Expected<std::size_t, IoError> read(char* dst, std::size_t n) override;
    std::uint64_t size() const override { return size_; }
    bool reopenable() const override { return reopenable_; }
    std::optional<std::uint64_t> progress() const override { return progress_; }
    // The caller's waits reach the interpreter only through the hooks.
    bool readable_off_thread() const override { return true; }

private:
    static constexpr std::size_t kBlock = 1 << 20;
    static constexpr std::size_t kBlocks = 4;

    struct Block {
        std::unique_ptr<char[]> bytes{new char[kBlock]};
        std::size_t len = 0;
        std::optional<std::uint64_t> progress;  // the inner reader's, once the block was filled
        std::optional<IoError> error;           // after the bytes, the read that failed
        std::exception_ptr thrown;              // or what it threw
        bool last = false;                      // the end of the input follows the bytes
    };

    void run();
    // Waits for the next full block; false when a signal handler raised.
    bool wait_for_block();

    std::unique_ptr<ByteReader> inner_;
    InterpreterHooks hooks_;
    std::uint64_t size_;
    bool reopenable_;
    std::vector<Block> blocks_;

    // What the two threads share. Apart, so that a child of fork, where
    // the thread is not, can leave it be: a condition variable that the
    // thread waited on cannot be destroyed there.
    struct Shared {
        std::mutex mutex;
        std::condition_variable filled_cv;  // the thread filled a block, or ended
        std::condition_variable freed_cv;   // the caller gave one back
        std::size_t full = 0;               // under mutex: blocks filled and not yet taken back
        bool stop = false;                  // under mutex
        bool ended = false;                 // under mutex: the thread has returned
    };
    std::unique_ptr<Shared> shared_ = std::make_unique<Shared>();

    // The caller's side.
    std::size_t head_ = 0;        // the block being read
    std::size_t pos_ = 0;         // within it
    bool holding_ = false;        // blocks_[head_] is full and being read
    bool ended_ = false;
    bool alone_ = false;  // no thread: reads go straight to inner_
    std::optional<std::uint64_t> progress_ = 0;

    threads::Worker thread_;  // last: started once everything above is set
};

}  // namespace qvtok::records
