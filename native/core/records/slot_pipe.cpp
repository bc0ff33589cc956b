#include "core/records/slot_pipe.hpp"

#include <chrono>
#include <system_error>

#include "core/threads/core_watch.hpp"

namespace qvtok::records {
namespace {

// How long the caller waits for a batch before it lets signal handlers run.
constexpr std::chrono::milliseconds kPollEvery(50);
// Over how long the thread judges whether it has its core.
constexpr std::chrono::milliseconds kWatchWindow(20);

std::uint64_t progress_of(const RecordStream& stream) { return stream.progress().value_or(stream.bytes_read()); }

std::size_t size_of(const Expected<Slot>& slot) {
    if (!slot) return 0;
    const Slot& s = slot.value();
    return s.raw.size() + s.key.size() + (s.record ? s.record->text.size() + s.record->arena.size() : 0);
}

}  // namespace

SlotPipe::SlotPipe(RecordStream& stream, std::function<bool(const Error&)> goes_on, InterpreterHooks hooks)
    : stream_(stream), goes_on_(std::move(goes_on)), hooks_(hooks) {
    if (!thread_.start("qvtok-parse", [this] { run(); }))
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

SlotPipe::~SlotPipe() {
    if (thread_.orphaned()) {
        (void)shared_.release();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stop = true;
    }
    shared_->taken_cv.notify_all();
    // The thread may be in the middle of a slow read.
    thread_.join(hooks_);
}

bool SlotPipe::ends(const Expected<Slot>& slot) const {
    if (!slot) return !goes_on_(slot.error());
    return slot.value().kind == Slot::Kind::End;
}

void SlotPipe::run() {
    Shared& shared = *shared_;
    // However the thread ends, the caller hears of it: a batch that could
    // not be handed over leaves the thread's exception to the join.
    threads::EndNotice ended(shared.mutex, shared.ended, shared.ready_cv);
    std::vector<json::Document> spare;
    // Whether this thread has its core, judged over some batches.
    threads::CoreWatch watch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(shared.mutex);
            const auto start = std::chrono::steady_clock::now();
            shared.taken_cv.wait(lock, [&] { return shared.stop || shared.ready.size() < kBatches; });
            watch.waited(std::chrono::steady_clock::now() - start);
            if (shared.stop) return;
            if (shared.hand_back) {
                // The caller reads on alone from where this thread stopped.
                Batch back;
                back.last = true;
                shared.ready.push_back(std::move(back));
                return;
            }
            for (json::Document& doc : shared.spare) spare.push_back(std::move(doc));
            shared.spare.clear();
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
        // A thread kept from its core reads slower than the caller would:
        // it hands the stream back, and the caller reads on alone.
        if (!batch.last && watch.report_every(kWatchWindow)) batch.last = true;
        const bool last = batch.last;
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            shared.ready.push_back(std::move(batch));
        }
        shared.ready_cv.notify_one();
        if (last) return;
    }
}

bool SlotPipe::wait_for_batch() {
    Shared& shared = *shared_;
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        if (!shared.ready.empty() || shared.ended) return true;
    }
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const bool ready = hooks_.released([&] {
            std::unique_lock<std::mutex> lock(shared.mutex);
            return shared.ready_cv.wait_for(lock, kPollEvery,
                                            [&] { return !shared.ready.empty() || shared.ended; });
        });
        if (ready) {
            caller_watch_.waited(std::chrono::steady_clock::now() - start);
            return true;
        }
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
        // The stream is in whatever state the thread left it in at the fork.
        if (thread_.orphaned()) return Error::of(ErrorCode::Forked);
        if (current_.last) {
            // Everything the thread read is handed out, and it stopped: the
            // stream goes on, if at all, on this thread.
            thread_.join(hooks_);
            finished_ = true;
            if (current_.thrown) std::rethrow_exception(std::exchange(current_.thrown, nullptr));
            if (auto thrown = thread_.take_thrown()) std::rethrow_exception(thrown);
            return next(progress);
        }
        // A caller kept from its core (the thread took it, say) has the
        // thread hand the stream back.
        if (caller_watch_.report_every(kWatchWindow)) {
            {
                std::lock_guard<std::mutex> lock(shared_->mutex);
                shared_->hand_back = true;
            }
            shared_->taken_cv.notify_one();
        }
        if (!wait_for_batch()) return Error::of(ErrorCode::Interrupted);
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            if (shared_->ready.empty()) {
                // The thread ended before it could hand over its last batch.
                current_ = Batch{};
                current_.last = true;
            } else {
                current_ = std::move(shared_->ready.front());
                shared_->ready.pop_front();
            }
        }
        shared_->taken_cv.notify_one();
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
    if (thread_.orphaned()) return;
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->spare.size() < kBatchSlots * 2) shared_->spare.push_back(std::move(doc));
}

}  // namespace qvtok::records
