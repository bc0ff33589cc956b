// A thread that works or waits of its own accord had its core; one that
// was ready but did not run did not, and hand-overs then stop for a while,
// longer while it goes on, and come back once it ends. A busy machine can
// keep a test's own thread from its core too: what must hold for a thread
// that had its core is asked of the best of a few tries.
#include <chrono>
#include <thread>

#include "check.hpp"
#include "core/threads/core_watch.hpp"

using namespace qvtok;
using namespace std::chrono_literals;

namespace {

void spin_for(std::chrono::milliseconds d) {
    const auto until = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < until) {
    }
}

// A watch over a thread that was kept from its core for `kept`: asleep,
// which the watch cannot tell from waiting for a core, and not told.
bool kept_for(std::chrono::milliseconds kept) {
    threads::CoreWatch watch;
    spin_for(1ms);
    std::this_thread::sleep_for(kept);
    return watch.report();
}

// Whether one of a few watches over `work` found the thread had its core.
template <class Work>
bool had_core(Work work) {
    for (int i = 0; i < 5; ++i) {
        threads::CoreWatch watch;
        work(watch);
        if (!watch.report()) return true;
    }
    return false;
}

}  // namespace

TEST(core_watch_tells_a_thread_kept_from_its_core_from_one_that_worked_or_waited) {
    CHECK(had_core([](threads::CoreWatch&) { spin_for(3ms); }));
    CHECK(had_core([](threads::CoreWatch& watch) {
        // Waiting for a partner, said so.
        spin_for(1ms);
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(10ms);
        watch.waited(std::chrono::steady_clock::now() - start);
    }));
    CHECK(kept_for(10ms));
    CHECK(!threads::second_core_free());
    std::this_thread::sleep_for(110ms);  // the cases that follow hand work over
    CHECK(threads::second_core_free());
}

TEST(core_watch_backs_off_hand_overs_longer_while_threads_stay_kept) {
    CHECK(had_core([](threads::CoreWatch&) { spin_for(2ms); }));  // the back-off starts afresh
    CHECK(kept_for(10ms));
    CHECK(!threads::second_core_free());
    std::this_thread::sleep_for(60ms);  // past the first back-off, 50 ms
    CHECK(threads::second_core_free());
    CHECK(kept_for(10ms));  // again: 100 ms now
    const auto kept_at = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(60ms);
    if (std::chrono::steady_clock::now() - kept_at < 95ms) CHECK(!threads::second_core_free());
    std::this_thread::sleep_for(60ms);
    CHECK(threads::second_core_free());
}
