// Jobs on the parked thread, on threads of their own when it is busy, and
// in a child of fork, which has no parked thread of its parent's.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <stdexcept>
#include <string>
#include <chrono>
#include <filesystem>
#include <thread>

#include "check.hpp"
#include "core/threads/job_thread.hpp"

using qvtok::threads::JobThread;

namespace {

struct Job {
    std::atomic<bool> release{false};
    std::atomic<int> runs{0};
    std::thread::id ran_on;

    static void run(void* self) {
        auto* job = static_cast<Job*>(self);
        while (!job->release.load()) std::this_thread::yield();
        job->ran_on = std::this_thread::get_id();
        job->runs.fetch_add(1);
    }
};

// The threads of this process.
int threads() {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

}  // namespace

TEST(jobs_run_once_each_on_another_thread_even_while_one_is_busy) {
    Job first, second;
    {
        JobThread a, b;
        CHECK(a.start(Job::run, &first));
        CHECK(b.start(Job::run, &second));  // the parked thread is busy with the first
        second.release = true;
        b.join();
        CHECK_EQ(second.runs.load(), 1);
        first.release = true;
    }  // joined by the destructors
    CHECK_EQ(first.runs.load(), 1);
    CHECK(first.ran_on != std::this_thread::get_id() && second.ran_on != std::this_thread::get_id());
    CHECK(first.ran_on != second.ran_on);
    // The parked thread takes the jobs that follow, one after another.
    std::thread::id parked = first.ran_on;
    for (int i = 0; i < 50; ++i) {
        Job job;
        job.release = true;
        JobThread t;
        CHECK(t.start(Job::run, &job));
        t.join();
        CHECK_EQ(job.runs.load(), 1);
        CHECK(job.ran_on == parked);
    }
}

TEST(a_child_of_fork_runs_its_jobs_on_a_thread_of_its_own) {
    Job warm;
    warm.release = true;
    {
        JobThread t;
        CHECK(t.start(Job::run, &warm));
    }
    const pid_t child = fork();
    if (child == 0) {
        alarm(10);  // a job that never runs fails the test rather than hangs it
        Job job;
        job.release = true;
        JobThread t;
        const bool started = t.start(Job::run, &job);
        t.join();
        _exit(started && job.runs.load() == 1 ? 0 : 1);
    }
    int status = 0;
    CHECK(child > 0 && waitpid(child, &status, 0) == child);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(the_parked_thread_ends_when_idle_and_starts_again_for_the_next_job) {
    Job before, after;
    before.release = after.release = true;
    {
        JobThread t;
        CHECK(t.start(Job::run, &before));
    }
    const int parked = threads();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    CHECK_EQ(threads(), parked - 1);
    {
        JobThread t;
        CHECK(t.start(Job::run, &after));
    }
    CHECK_EQ(after.runs.load(), 1);
}

namespace {

// CPU time a thread of this process has used, in clock ticks.
long cpu_ticks(pid_t tid) {
    std::FILE* f = std::fopen(("/proc/self/task/" + std::to_string(tid) + "/stat").c_str(), "r");
    if (f == nullptr) return -1;
    char line[1024] = {};
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!read) return -1;
    // Fields after the name, which ends at the last ')': utime is the 12th.
    const char* p = std::strrchr(line, ')');
    long utime = 0, stime = 0;
    std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime);
    return utime + stime;
}

void note_tid(void* tid) { *static_cast<pid_t*>(tid) = static_cast<pid_t>(gettid()); }

}  // namespace

TEST(a_thread_woken_early_takes_its_job_or_parks_again_without_spinning_on) {
    pid_t tid = 0;
    {
        JobThread t;
        CHECK(t.start(note_tid, &tid));
    }
    // Woken early with no job to follow: it watches a moment, then sleeps.
    JobThread::wake_early();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const long ticks = cpu_ticks(tid);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    CHECK(ticks >= 0);
    CHECK(cpu_ticks(tid) - ticks <= 2);  // a thread that spun on would have used ~30 ticks
    // Woken early, then handed a job: the parked thread runs it, once.
    for (int i = 0; i < 20; ++i) {
        JobThread::wake_early();
        if (i % 2) std::this_thread::sleep_for(std::chrono::microseconds(200));
        Job job;
        job.release = true;
        pid_t ran = 0;
        JobThread t;
        CHECK(t.start(Job::run, &job));
        t.join();
        CHECK(t.start(note_tid, &ran));
        t.join();
        CHECK_EQ(job.runs.load(), 1);
        CHECK_EQ(ran, tid);
    }
    // Once it has ended, a wake starts it again.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    const int ended = threads();
    JobThread::wake_early();
    CHECK_EQ(threads(), ended + 1);
}

TEST(a_job_withdrawn_before_it_began_never_runs_and_one_not_withdrawn_runs_once) {
    // Whether the thread has begun by the time of the withdrawal depends on
    // the machine: each outcome is checked when it comes.
    for (int i = 0; i < 300; ++i) {
        if (i % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));  // the thread parks
        Job job;
        job.release = true;
        JobThread t;
        CHECK(t.start(Job::run, &job));
        const bool taken_back = t.withdraw();
        t.join();
        std::this_thread::sleep_for(std::chrono::microseconds(50));  // a late run would show
        CHECK_EQ(job.runs.load(), taken_back ? 0 : 1);
    }
    // The parked thread still takes the jobs that follow.
    Job after;
    after.release = true;
    pid_t tid = 0, again = 0;
    {
        JobThread t;
        CHECK(t.start(note_tid, &tid));
    }
    {
        JobThread t;
        CHECK(t.start(Job::run, &after));
        t.join();
        CHECK(t.start(note_tid, &again));
    }
    CHECK_EQ(after.runs.load(), 1);
    CHECK_EQ(tid, again);
}

namespace {

void throw_runtime_error(void*) { throw std::runtime_error("the job failed"); }

void count_run(void* runs) { static_cast<std::atomic<int>*>(runs)->fetch_add(1); }

// CPU time of the whole process so far.
std::chrono::nanoseconds process_cpu() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

}  // namespace

TEST(a_job_thread_hands_what_a_job_threw_to_join_and_takes_the_next_job) {
    pid_t tid = 0, again = 0;
    JobThread t;
    CHECK(t.start(note_tid, &tid));
    t.join();
    CHECK(!t.take_thrown());
    CHECK(t.start(throw_runtime_error, nullptr));
    t.join();
    std::exception_ptr thrown = t.take_thrown();
    CHECK(bool(thrown));
    try {
        if (thrown) std::rethrow_exception(thrown);
    } catch (const std::runtime_error& e) {
        CHECK_EQ(std::string(e.what()), std::string("the job failed"));
    }
    CHECK(!t.take_thrown());  // taken
    // The parked thread lived through it and takes the next job, which
    // throws nothing.
    CHECK(t.start(note_tid, &again));
    t.join();
    CHECK(!t.take_thrown());
    CHECK_EQ(again, tid);
}

TEST(job_thread_runs_each_of_many_jobs_in_a_row_exactly_once) {
    // Jobs that follow one another closely, now and then after a pause:
    // each meets the parked thread watching, going to sleep or asleep.
    std::atomic<int> runs[200];
    for (auto& r : runs) r = 0;
    JobThread t;
    for (int i = 0; i < 200; ++i) {
        if (i % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(40 + 10 * (i % 5)));
        if (i % 11 == 0) JobThread::wake_early();
        CHECK(t.start(count_run, &runs[i]));
        t.join();
        CHECK_EQ(runs[i].load(), 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // a late second run would show
    for (auto& r : runs) CHECK_EQ(r.load(), 1);
}

TEST(job_thread_left_idle_uses_no_cpu) {
    // After each way a job can end, the parked thread watches for a moment
    // and sleeps: over 100 ms the process burns next to nothing, where a
    // thread that spun on would burn all of it.
    enum class After { Job, Thrown, WakeEarly, Withdrawn };
    for (After after : {After::Job, After::Thrown, After::WakeEarly, After::Withdrawn}) {
        std::atomic<int> runs{0};
        {
            JobThread t;
            CHECK(t.start(after == After::Thrown ? throw_runtime_error : count_run, &runs));
            if (after == After::Withdrawn) t.withdraw();
            t.join();
            (void)t.take_thrown();
        }
        if (after == After::WakeEarly) JobThread::wake_early();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // past the watch
        const auto before = process_cpu();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto used = process_cpu() - before;
        if (used > std::chrono::milliseconds(5))
            qvtok::test::fail(__FILE__, __LINE__,
                              "case " + std::to_string(static_cast<int>(after)) + " used " +
                                  std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(used).count()) +
                                  " us of CPU while idle");
    }
}
