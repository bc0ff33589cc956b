#include "core/threads/worker.hpp"

#include <sys/mman.h>

#include <atomic>
#include <mutex>
#include <new>

namespace qvtok::threads {
namespace {

std::atomic<std::uint64_t> g_forks{0};

void count_fork_in_child() { g_forks.fetch_add(1, std::memory_order_relaxed); }

void watch_forks() {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(nullptr, nullptr, count_fork_in_child); });
}

}  // namespace

// Room held for a new thread until it primes its exceptions. Its share of
// the C++ runtime's thread-local storage is allocated then, and glibc ends
// the process when that fails: in a process at its address-space limit a
// new thread has no malloc arena of its own (making one reserves 64 MiB)
// and takes a page for it straight from the system. A few pages suffice.
constexpr std::size_t kStartRoom = 64 << 10;

std::uint64_t forks() { return g_forks.load(std::memory_order_relaxed); }

void prime_exceptions() noexcept {
    try {
        throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
}

struct Worker::State {
    std::function<void()> body;
    const char* name;
    std::exception_ptr thrown;
    void* room;  // kStartRoom bytes mapped for the thread to let go of
    // The thread and, while it has not detached, the owner: whichever lets
    // go last frees the state.
    std::atomic<int> holders{2};

    void let_go() {
        if (holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    static void* run(void* self) {
        auto* state = static_cast<State*>(self);
        ::munmap(state->room, kStartRoom);
        prime_exceptions();
#if defined(__linux__)
        // Named, so that profilers and debuggers tell it from the caller.
        pthread_setname_np(pthread_self(), state->name);
#endif
        try {
            state->body();
        } catch (...) {
            state->thrown = std::current_exception();
        }
        state->let_go();
        return nullptr;
    }
};

bool Worker::start(const char* name, std::function<void()> body) noexcept {
    join();
    watch_forks();
    // Mapped writable, so that it counts against every limit that the
    // thread's allocation would meet.
    void* room = ::mmap(nullptr, kStartRoom, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED) return false;
    auto* state = new (std::nothrow) State{std::move(body), name, nullptr, room};
    if (state == nullptr || pthread_create(&thread_, nullptr, &State::run, state) != 0) {
        ::munmap(room, kStartRoom);
        delete state;
        return false;
    }
    state_ = state;
    forks_ = forks();
    return true;
}

void Worker::join(const InterpreterHooks& hooks) noexcept {
    if (state_ == nullptr) return;
    if (forks_ != forks()) {
        // Not in this process: its handle names a stack that the child's
        // threads may reuse, and its state may be in use for ever. Both
        // are left alone.
        state_ = nullptr;
        return;
    }
    hooks.released([&] { return pthread_join(thread_, nullptr); });
    thrown_ = std::move(state_->thrown);
    delete state_;  // the thread has let go of it
    state_ = nullptr;
}

void Worker::detach() noexcept {
    if (state_ == nullptr) return;
    // A thread of the parent's is forgotten, as join does.
    if (forks_ == forks()) {
        pthread_detach(thread_);
        state_->let_go();
    }
    state_ = nullptr;
}

}  // namespace qvtok::threads
