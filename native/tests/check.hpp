// A small test harness for the core: TEST(name) { CHECK(...); } cases that
// register themselves, and a main that runs them all (or those picked by its
// arguments, see main.cpp) and reports "N passed, N failed".
#pragma once

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace qvtok::test {

struct Case {
    const char* name;
    const char* file;  // the source file that defines it
    void (*run)();
};

inline std::vector<Case>& cases() {
    static std::vector<Case> all;
    return all;
}

struct Register {
    Register(const char* name, const char* file, void (*run)()) { cases().push_back({name, file, run}); }
};

// Failures of the case that runs now.
inline int& failures() {
    static int n = 0;
    return n;
}

inline void fail(const char* file, int line, const std::string& what) {
    ++failures();
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
}

template <class A, class B>
void check_eq(const A& a, const B& b, const char* text, const char* file, int line) {
    if (a == b) return;
    std::ostringstream out;
    out << text << " (" << a << " != " << b << ")";
    fail(file, line, out.str());
}

}  // namespace qvtok::test

#define QVTOK_CONCAT2(a, b) a##b
#define QVTOK_CONCAT(a, b) QVTOK_CONCAT2(a, b)

#define TEST(name)                                                                       \
    static void name();                                                                  \
    static ::qvtok::test::Register QVTOK_CONCAT(register_, name)(#name, __FILE__, &name); \
    static void name()

#define CHECK(cond)                                                                    \
    do {                                                                               \
        if (!(cond)) ::qvtok::test::fail(__FILE__, __LINE__, #cond);                   \
    } while (0)

#define CHECK_EQ(a, b) ::qvtok::test::check_eq((a), (b), #a " == " #b, __FILE__, __LINE__)
