// Runs every registered case; the closing line is "N passed, N failed".
#include <cstring>

#include "check.hpp"

int main(int argc, char** argv) {
    const char* filter = argc > 1 ? argv[1] : "";
    int passed = 0, failed = 0;
    for (const auto& c : qvtok::test::cases()) {
        if (std::strstr(c.name, filter) == nullptr) continue;
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
