// An invariant that fails stops the process, naming itself, in the builds
// that check invariants (the sanitizer builds among them); elsewhere its
// condition is not even evaluated.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "check.hpp"
#include "core/check.hpp"

namespace {

// Runs `body` in a child process; its exit status, and what it wrote to
// stderr in `err`.
template <class Body>
int in_child(Body body, std::string& err) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 2);
        ::close(fds[0]);
        body();
        ::_exit(0);
    }
    ::close(fds[1]);
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) err.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

}  // namespace

TEST(a_broken_invariant_aborts_only_where_invariants_are_checked) {
    int evaluated = 0;
    std::string err;
    const int status = in_child([&] { QVTOK_ASSERT(++evaluated == 0, "the count starts at zero"); }, err);
#if defined(QVTOK_ASSERTS)
    CHECK(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT);
    CHECK(err.find("test_check.cpp") != std::string::npos);
    CHECK(err.find("the count starts at zero") != std::string::npos);
    CHECK(err.find("++evaluated == 0") != std::string::npos);
#else
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CHECK(err.empty());
    QVTOK_ASSERT(++evaluated == 0, "never evaluated here");
    CHECK_EQ(evaluated, 0);
#endif
}
