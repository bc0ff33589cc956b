#include "core/records/slot_pipe.hpp"

#include <pthread.h>

#include <chrono>

namespace qvtok::records {
namespace {

// How long the caller waits for a batch before it lets signal handlers run.
constexpr std::chrono::milliseconds kPollEvery(50);

std::uint64_t progress_of(const RecordStream& stream) { return stream.progress().value_or(stream.bytes_read()); }

std::size_t size_of(const Expected<Slot>& slot) {
    if (!slot) return 0;
    const Slot& s = slot.value();
    return s.raw.size() + s.key.size() + (s.record ? s.record->text.size() + s.record->arena.size() : 0);
}

}  // namespace

SlotPipe::SlotPipe(RecordStream& stream, std::function<bool(const Error&)> goes_on, InterpreterHooks hooks)
    : stream_(stream), goes_on_(std::move(goes_on)), hooks_(hooks) {
    thread_ = std::thread([this] { run(); });
}

SlotPipe::~SlotPipe() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    taken_cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool SlotPipe::ends(const Expected<Slot>& slot) const {
    if (!slot) return !goes_on_(slot.error());
    return slot.value().kind == Slot::Kind::End;
}

void SlotPipe::run() {
    // Named, so that profilers and debuggers tell it from the caller.
#if defined(__linux__)
    pthread_setname_np(pthread_self(), "qvtok-parse");
#endif
    std::vector<json::Document> spare;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            taken_cv_.wait(lock, [&] { return stop_ || ready_.size() < kBatches; });
            if (stop_) return;
            for (json::Document& doc : spare_) spare.push_back(std::move(doc));
            spare_.clear();
        }
        Batch batch;
        batch.entries.reserve(kBatchSlots);
        std::size_t bytes = 0;
        try {
            while (batch.entries.size() < kBatchSlots && bytes < kBatchBytes) {
                // The stream keeps one document to fill next: one whose
                // storage has grown already, not a new one that grows anew.
                if (!spare.empty()) {
                    stream_.recycle(std::move(spare.back()));
                    spare.pop_back();
                }
                auto slot = stream_.next_slot();
                bytes += size_of(slot);
                batch.last = ends(slot);
                batch.entries.push_back(Entry{std::move(slot), progress_of(stream_)});
                if (batch.last) break;
            }
        } catch (...) {
            batch.thrown = std::current_exception();
            batch.last = true;
        }
        const bool last = batch.last;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ready_.push_back(std::move(batch));
        }
        ready_cv_.notify_one();
        if (last) return;
    }
}

bool SlotPipe::wait_for_batch() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ready_.empty()) return true;
    }
    for (;;) {
        void* token = hooks_.release != nullptr ? hooks_.release() : nullptr;
        bool ready;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready = ready_cv_.wait_for(lock, kPollEvery, [&] { return !ready_.empty(); });
        }
        if (hooks_.reacquire != nullptr) hooks_.reacquire(token);
        if (ready) return true;
        if (hooks_.poll != nullptr && hooks_.poll() != 0) return false;
    }
}

Expected<Slot> SlotPipe::next(std::uint64_t& progress) {
    if (finished_) {
        auto slot = stream_.next_slot();
        progress = progress_of(stream_);
        return slot;
    }
    if (pos_ == current_.entries.size()) {
        if (current_.last) {
            // Everything the thread read is handed out, and it stopped: the
            // stream goes on, if at all, on this thread.
            if (thread_.joinable()) thread_.join();
            finished_ = true;
            if (current_.thrown) std::rethrow_exception(std::exchange(current_.thrown, nullptr));
            return next(progress);
        }
        if (!wait_for_batch()) return Error::of(ErrorCode::Interrupted);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            current_ = std::move(ready_.front());
            ready_.pop_front();
        }
        taken_cv_.notify_one();
        pos_ = 0;
        if (current_.entries.empty()) return next(progress);
    }
    Entry& e = current_.entries[pos_++];
    progress = e.progress;
    return std::move(e.slot);
}

void SlotPipe::recycle(json::Document doc) {
    // Only small documents go round: a huge record's storage is let go.
    constexpr std::size_t kKeptBytes = 1 << 20;
    if (doc.text.capacity() + doc.arena.capacity() + doc.tape.capacity() * sizeof(json::Node) > kKeptBytes) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_.size() < kBatchSlots * 2) spare_.push_back(std::move(doc));
}

}  // namespace qvtok::records
