#include "core/records/read_ahead.hpp"

#include <chrono>
#include <cstring>

namespace qvtok::records {
namespace {

// How long the caller waits for a block before it lets signal handlers run.
constexpr std::chrono::milliseconds kPollEvery(50);

}  // namespace

ReadAheadReader::ReadAheadReader(std::unique_ptr<ByteReader> inner, InterpreterHooks hooks)
    : inner_(std::move(inner)),
      hooks_(hooks),
      size_(inner_->size()),
      reopenable_(inner_->reopenable()),
      blocks_(kBlocks) {
    // Without a thread the caller reads the inner reader itself.
    alone_ = !thread_.start("qvtok-read", [this] { run(); });
}

ReadAheadReader::~ReadAheadReader() {
    if (alone_) return;
    if (thread_.orphaned()) {
        // The thread was reading `inner_` when the process forked.
        (void)shared_.release();
        (void)inner_.release();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stop = true;
    }
    shared_->freed_cv.notify_all();
    // The thread may be in the middle of a slow read.
    thread_.join(hooks_);
}

void ReadAheadReader::run() {
    Shared& shared = *shared_;
    // However the thread ends, the caller hears of it.
    threads::EndNotice ended(shared.mutex, shared.ended, shared.filled_cv);
    std::size_t tail = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(shared.mutex);
            shared.freed_cv.wait(lock, [&] { return shared.stop || shared.full < kBlocks; });
            if (shared.stop) return;
        }
        Block& b = blocks_[tail];
        b.len = 0;
        b.error.reset();
        b.thrown = nullptr;
        b.last = false;
        try {
            while (b.len < kBlock) {
                auto got = inner_->read(b.bytes.get() + b.len, kBlock - b.len);
                if (!got) {
                    b.error = got.error();
                    break;
                }
                if (got.value() == 0) {
                    b.last = true;
                    break;
                }
                b.len += got.value();
            }
            b.progress = inner_->progress();
        } catch (...) {
            b.thrown = std::current_exception();
        }
        const bool done = b.last || b.error || b.thrown;
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            ++shared.full;
        }
        shared.filled_cv.notify_one();
        if (done) return;
        tail = (tail + 1) % kBlocks;
    }
}

bool ReadAheadReader::wait_for_block() {
    Shared& shared = *shared_;
    for (;;) {
        const bool ready = hooks_.released([&] {
            std::unique_lock<std::mutex> lock(shared.mutex);
            return shared.filled_cv.wait_for(lock, kPollEvery, [&] { return shared.full > 0 || shared.ended; });
        });
        if (ready) return true;
        if (hooks_.poll != nullptr && hooks_.poll() != 0) return false;
    }
}

Expected<std::size_t, IoError> ReadAheadReader::read(char* dst, std::size_t n) {
    if (alone_) {
        auto got = inner_->read(dst, n);
        progress_ = inner_->progress();
        return got;
    }
    for (;;) {
        if (ended_) return std::size_t{0};
        if (!holding_) {
            // The inner reader is in whatever state the thread left it in
            // at the fork.
            if (thread_.orphaned()) return IoError::forked();
            if (!wait_for_block()) return IoError::interrupted();
            {
                std::lock_guard<std::mutex> lock(shared_->mutex);
                if (shared_->full == 0) {
                    // The thread ended without filling the block it was at.
                    thread_.join();
                    if (auto thrown = thread_.take_thrown()) std::rethrow_exception(thrown);
                    throw std::logic_error("the read-ahead thread ended before the input did");
                }
            }
            holding_ = true;
            pos_ = 0;
            // The inner reader's count as of the block's end, empty or not.
            progress_ = blocks_[head_].progress;
        }
        Block& b = blocks_[head_];
        if (pos_ < b.len) {
            std::size_t take = std::min(n, b.len - pos_);
            std::memcpy(dst, b.bytes.get() + pos_, take);
            pos_ += take;
            return take;
        }
        // The block is used up: what ended it comes next.
        if (b.thrown) std::rethrow_exception(b.thrown);
        if (b.error) return *b.error;  // the thread has stopped: it stays the answer
        if (b.last) {
            ended_ = true;
            continue;
        }
        holding_ = false;
        head_ = (head_ + 1) % kBlocks;
        // The parent's thread may have held the mutex at the fork: the
        // next turn of the loop says Forked without it.
        if (thread_.orphaned()) continue;
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            --shared_->full;
        }
        shared_->freed_cv.notify_one();
    }
}

}  // namespace qvtok::records
