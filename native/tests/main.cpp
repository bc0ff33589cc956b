// Runs the registered cases, or those that an argument picks: a case runs
// when any argument is part of its name or of its file's name, so that
// "split_read job_thread" runs the cases of test_split_read.cpp and of
// test_job_thread.cpp whatever they are called. The closing line is
// "N passed, N failed"; a filter that picks no case fails the run, so that
// a renamed file cannot quietly leave its cases out of a run that names it.
#include <cstring>

#include "check.hpp"

namespace {

// The file's own name, without the directories that lead to it.
const char* base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool picks(const char* filter, const qvtok::test::Case& c) {
    return std::strstr(c.name, filter) != nullptr || std::strstr(base_name(c.file), filter) != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    int passed = 0, failed = 0;
    for (int i = 1; i < argc; ++i) {
        bool any = false;
        for (const auto& c : qvtok::test::cases()) any = any || picks(argv[i], c);
        if (!any) {
            std::fprintf(stderr, "no case matches %s\n", argv[i]);
            ++failed;
        }
    }
    for (const auto& c : qvtok::test::cases()) {
        bool run = argc == 1;
        for (int i = 1; i < argc && !run; ++i) run = picks(argv[i], c);
        if (!run) continue;
        qvtok::test::failures() = 0;
        c.run();
        if (qvtok::test::failures() == 0) {
            ++passed;
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED %s\n", c.name);
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
