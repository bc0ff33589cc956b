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
    thread_ = std::thread([this] { run(); });
}

ReadAheadReader::~ReadAheadReader() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    freed_cv_.notify_all();
    thread_.join();
}

void ReadAheadReader::run() {
    std::size_t tail = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            freed_cv_.wait(lock, [&] { return stop_ || full_ < kBlocks; });
            if (stop_) return;
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
        } catch (...) {
            b.thrown = std::current_exception();
        }
        b.progress = inner_->progress();
        bool done = b.last || b.error || b.thrown;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++full_;
        }
        filled_cv_.notify_one();
        if (done) return;
        tail = (tail + 1) % kBlocks;
    }
}

bool ReadAheadReader::wait_for_block() {
    for (;;) {
        void* token = hooks_.release != nullptr ? hooks_.release() : nullptr;
        bool ready;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready = filled_cv_.wait_for(lock, kPollEvery, [&] { return full_ > 0; });
        }
        if (hooks_.reacquire != nullptr) hooks_.reacquire(token);
        if (ready) return true;
        if (hooks_.poll != nullptr && hooks_.poll() != 0) return false;
    }
}

Expected<std::size_t, IoError> ReadAheadReader::read(char* dst, std::size_t n) {
    for (;;) {
        if (ended_) return std::size_t{0};
        if (!holding_) {
            if (!wait_for_block()) return IoError::interrupted();
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
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --full_;
        }
        freed_cv_.notify_one();
    }
}

}  // namespace qvtok::records
