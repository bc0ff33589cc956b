// The UTF-8 checker and the repair against a plain reference written here
// from the definition of UTF-8 rather than from the table the core uses:
// decode by bit pattern, then refuse overlongs, surrogates and code points
// above U+10FFFF. The repair must give what the reference gives (one U+FFFD
// per maximal subpart of an ill-formed sequence), hence always valid UTF-8,
// and must leave valid text alone.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "core/json/utf8.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_utf8: %s\n", what);
    std::abort();
}

std::string encode(std::uint32_t cp) {
    std::string out;
    qvtok::json::append_utf8(out, cp);
    return out;
}

// Length of the well-formed character at s[i], 0 when there is none.
std::size_t decode(std::string_view s, std::size_t i) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    std::size_t len;
    std::uint32_t cp;
    if (b < 0x80) return 1;
    if ((b & 0xE0) == 0xC0) len = 2, cp = b & 0x1F;
    else if ((b & 0xF0) == 0xE0) len = 3, cp = b & 0x0F;
    else if ((b & 0xF8) == 0xF0) len = 4, cp = b & 0x07;
    else return 0;
    if (s.size() - i < len) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        unsigned char c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (c & 0x3F);
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    if (encode(cp).size() != len) return 0;  // overlong
    return len;
}

// Every proper prefix of a well-formed multi-byte character, found by
// encoding them all.
const std::set<std::string>& prefixes() {
    static const std::set<std::string> all = [] {
        std::set<std::string> p;
        for (std::uint32_t cp = 0x80; cp <= 0x10FFFF; ++cp) {
            if (cp >= 0xD800 && cp <= 0xDFFF) continue;
            std::string e = encode(cp);
            for (std::size_t k = 1; k < e.size(); ++k) p.insert(e.substr(0, k));
        }
        return p;
    }();
    return all;
}

bool reference_valid(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        std::size_t len = decode(s, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

// Well-formed characters are kept; otherwise the longest run of bytes that
// starts some well-formed character (at least one byte) becomes one U+FFFD.
std::string reference_repair(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t len = decode(s, i);
        if (len != 0) {
            out.append(s.substr(i, len));
            i += len;
            continue;
        }
        std::size_t bad = 1;
        for (std::size_t k = 3; k >= 2; --k)
            if (s.size() - i >= k && prefixes().count(std::string(s.substr(i, k)))) {
                bad = k;
                break;
            }
        out += "\xEF\xBF\xBD";
        i += bad;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    bool valid = reference_valid(input);
    if (qvtok::json::is_valid_utf8(input.data(), input.size()) != valid) fail("is_valid_utf8 disagrees");
    // Every suffix start, so that the wide paths see every alignment.
    for (std::size_t skip = 1; skip < 64 && skip < size; ++skip)
        if (qvtok::json::is_valid_utf8(input.substr(skip)) != reference_valid(input.substr(skip)))
            fail("is_valid_utf8 disagrees on a suffix");

    std::string text(input);
    bool changed = qvtok::json::repair_utf8(text);
    if (changed == valid) fail("repair_utf8 says the wrong thing about whether it changed the text");
    if (valid && text != input) fail("repair_utf8 changed valid text");
    if (!reference_valid(text)) fail("repair_utf8 left invalid UTF-8");
    if (text != reference_repair(input)) fail("repair_utf8 differs from the reference");
    return 0;
}
