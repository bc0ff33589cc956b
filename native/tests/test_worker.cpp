// An owned thread: its body runs once, elsewhere; what it throws reaches
// its owner at the join; the interpreter is let go around the wait; a
// child of fork, where the thread is not, forgets it instead of waiting;
// and a thread detached ends without anyone waiting.
#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "check.hpp"
#include "core/threads/worker.hpp"
#include "fork_child.hpp"

using qvtok::InterpreterHooks;
using qvtok::threads::Worker;

namespace {

// What the message of a thrown exception says, or "" when nothing was
// thrown, "?" for what is not a std::exception.
std::string what_of(std::exception_ptr thrown) {
    if (!thrown) return "";
    try {
        std::rethrow_exception(thrown);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "?";
    }
}

// ThreadSanitizer keeps the parent's threads on its books in a child of
// fork, and stops the child when a thread of the child's own gets the
// handle of one of them: there the child starts none.
#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderTsan = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kUnderTsan = true;
#else
constexpr bool kUnderTsan = false;
#endif
#else
constexpr bool kUnderTsan = false;
#endif

}  // namespace

TEST(a_worker_runs_its_body_once_on_another_thread_and_again_after_each_join) {
    Worker w;
    CHECK(!w.running());
    w.join();  // none started: nothing to wait for
    std::atomic<int> runs{0};
    std::thread::id ran_on;
    for (int round = 1; round <= 3; ++round) {
        CHECK(w.start("qvtok-test", [&] {
            // Long enough that a join which does not wait would show.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ran_on = std::this_thread::get_id();
            runs.fetch_add(1);
        }));
        CHECK(w.running());
        w.join();
        CHECK(!w.running());
        CHECK_EQ(runs.load(), round);
        CHECK(ran_on != std::this_thread::get_id());
        w.join();  // joined already
        CHECK_EQ(runs.load(), round);
        CHECK(!w.take_thrown());
    }
    // The owner's destructor waits for a body still running.
    std::atomic<bool> done{false};
    {
        Worker owned;
        CHECK(owned.start("qvtok-test", [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            done = true;
        }));
    }
    CHECK(done.load());
}

TEST(what_a_worker_body_throws_comes_back_from_take_thrown_once) {
    struct Case {
        const char* name;
        void (*body)();
        const char* what;
    };
    static const Case cases[] = {
        {"runtime_error", [] { throw std::runtime_error("the body failed"); }, "the body failed"},
        {"bad_alloc", [] { throw std::bad_alloc(); }, std::bad_alloc().what()},
        {"not an exception", [] { throw 42; }, "?"},
        {"nothing", [] {}, ""},
    };
    Worker w;
    for (const Case& c : cases) {
        CHECK(w.start("qvtok-test", c.body));
        w.join();
        std::exception_ptr thrown = w.take_thrown();
        if (what_of(thrown) != c.what) qvtok::test::fail(__FILE__, __LINE__, std::string(c.name) + ": " + what_of(thrown));
        CHECK(!w.take_thrown());  // taken
    }
    // A body that throws leaves the worker as good as new.
    std::atomic<bool> ran{false};
    CHECK(w.start("qvtok-test", [&] { ran = true; }));
    w.join();
    CHECK(ran.load());
    CHECK(!w.take_thrown());
}

namespace {

// Counts the hooks' calls, and what the body had done at each. Letting the
// interpreter go is what lets the body finish, as when it waits for the
// interpreter itself.
struct HookLog {
    static inline std::atomic<bool> go{false}, body_done{false};
    static inline int released = 0, reacquired = 0;
    static inline bool done_at_release = false, done_at_reacquire = false;
    static inline void* token_back = nullptr;
    static inline int token = 0;

    static void* release() {
        ++released;
        done_at_release = body_done.load();
        go = true;
        return &token;
    }
    static void reacquire(void* t) {
        ++reacquired;
        done_at_reacquire = body_done.load();
        token_back = t;
    }
};

}  // namespace

TEST(a_worker_join_lets_the_interpreter_go_exactly_once_around_the_wait) {
    InterpreterHooks hooks;
    hooks.release = HookLog::release;
    hooks.reacquire = HookLog::reacquire;
    Worker w;
    w.join(hooks);  // nothing to wait for: the interpreter is kept
    CHECK_EQ(HookLog::released, 0);
    CHECK(w.start("qvtok-test", [] {
        // Opened by the release, or after a while by the case itself, so
        // that a join that does not let go fails rather than hangs.
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!HookLog::go.load() && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
        HookLog::body_done = true;
    }));
    w.join(hooks);
    CHECK_EQ(HookLog::released, 1);
    CHECK_EQ(HookLog::reacquired, 1);
    CHECK(!HookLog::done_at_release);  // let go before the wait...
    CHECK(HookLog::done_at_reacquire);  // ...taken back after it
    CHECK(HookLog::token_back == &HookLog::token);
    w.join(hooks);  // joined already
    CHECK_EQ(HookLog::released, 1);
    CHECK_EQ(HookLog::reacquired, 1);
}

TEST(a_worker_started_before_fork_is_orphaned_in_the_child_which_does_not_wait_for_it) {
    std::atomic<bool> go{false};
    std::atomic<int> runs{0};
    Worker w;
    CHECK(w.start("qvtok-test", [&] {
        while (!go.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        runs.fetch_add(1);
    }));
    CHECK(!w.orphaned());
    const bool child_ok = qvtok::test::in_child_of_fork([&] {
        CHECK(w.running());
        CHECK(w.orphaned());
        if (kUnderTsan) {
            w.join();
            CHECK(!w.running() && !w.orphaned() && !w.take_thrown());
            return;
        }
        // The child's own threads take the stacks that the parent's left,
        // the orphaned thread's among them, and with it its handle: a join
        // that waited for the handle would wait for one of them. They wait
        // a while for the join to come back.
        std::atomic<bool> joined{false};
        Worker others[16];
        for (Worker& other : others) {
            CHECK(other.start("qvtok-test", [&] {
                const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
                while (!joined.load() && std::chrono::steady_clock::now() < give_up)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }));
        }
        const auto before = std::chrono::steady_clock::now();
        w.join();
        joined = true;
        CHECK(std::chrono::steady_clock::now() - before < std::chrono::seconds(1));
        for (Worker& other : others) other.join();
        CHECK(!w.running() && !w.orphaned());
        CHECK(!w.take_thrown());
        CHECK_EQ(runs.load(), 0);
        // The child starts threads of its own on the same worker.
        std::atomic<bool> ran{false};
        CHECK(w.start("qvtok-test", [&] { ran = true; }));
        CHECK(!w.orphaned());
        w.join();
        CHECK(ran.load());
    });
    CHECK(child_ok);
    // In the parent the thread goes on, and is waited for.
    CHECK(!w.orphaned());
    go = true;
    w.join();
    CHECK_EQ(runs.load(), 1);
}

TEST(a_detached_worker_ends_on_its_own_whether_detached_by_its_owner_or_its_body) {
    // Nobody joins these threads: a thread left unjoined would show as a
    // leak under ThreadSanitizer, and a state freed twice or never under
    // the address sanitizer.
    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> go{false}, done{false};
        Worker w;
        CHECK(w.start("qvtok-test", [&] {
            while (!go.load()) std::this_thread::yield();
            done = true;
        }));
        if (round % 2) go = true;  // ended already, or not yet
        w.detach();
        CHECK(!w.running());
        go = true;
        while (!done.load()) std::this_thread::yield();
        w.join();  // nothing to wait for
        CHECK(!w.take_thrown());
    }
    // As the parked thread does when it has been idle long enough, once
    // its owner has done starting it.
    Worker w;
    std::atomic<bool> started{false}, detached{false};
    for (int round = 0; round < 20; ++round) {
        started = detached = false;
        CHECK(w.start("qvtok-test", [&] {
            while (!started.load()) std::this_thread::yield();
            w.detach();
            detached = true;
        }));
        started = true;
        while (!detached.load()) std::this_thread::yield();
        CHECK(!w.running());
    }
}
