// Runs part of a case in a child of fork: what a thread started before the
// fork leaves behind can only be seen there.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "check.hpp"

namespace qvtok::test {

// Runs `body` in a child of fork, whose CHECKs print as usual, and
// `meanwhile` in the parent; true when the child exited with none of them
// failed. A child that hangs is ended by an alarm after `seconds` and
// counts as failed.
template <class Body, class Meanwhile = void (*)()>
bool in_child_of_fork(Body&& body, Meanwhile&& meanwhile = [] {}, unsigned seconds = 20) {
    std::fflush(nullptr);  // or the child's exit could repeat what is buffered
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(seconds);
        failures() = 0;
        body();
        std::fflush(nullptr);
        ::_exit(failures() == 0 ? 0 : 1);
    }
    if (pid < 0) return false;
    meanwhile();
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    if (WIFSIGNALED(status)) std::fprintf(stderr, "the child of fork ended by signal %d\n", WTERMSIG(status));
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace qvtok::test
