// The UTF-8 checker and the repair of ill-formed text.
#include <string>
#include <vector>

#include "check.hpp"
#include "core/json/utf8.hpp"

using namespace qvtok;

namespace {

// Places a sequence at the start, in the middle and at the end of longer
// ASCII runs, so that the wide paths of the checker see it too.
std::vector<std::string> placements(const std::string& s) {
    std::string pad(37, 'a');
    return {s, pad + s, s + pad, pad + s + pad + pad, std::string(64, 'b') + s};
}

}  // namespace

TEST(utf8_accepts_well_formed_text) {
    const char* valid[] = {
        "",
        "plain ascii",
        "\x7F",
        "\xC2\x80",          // U+0080, the first two-byte character
        "\xDF\xBF",          // U+07FF
        "\xE0\xA0\x80",      // U+0800, the first three-byte character
        "\xED\x9F\xBF",      // U+D7FF, just below the surrogates
        "\xEE\x80\x80",      // U+E000, just above them
        "\xEF\xBF\xBF",      // U+FFFF
        "\xF0\x90\x80\x80",  // U+10000, the first four-byte character
        "\xF4\x8F\xBF\xBF",  // U+10FFFF, the last
        "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80",
    };
    for (const char* s : valid)
        for (const std::string& text : placements(s)) {
            if (!json::is_valid_utf8(text)) ::qvtok::test::fail(__FILE__, __LINE__, "refused: " + text);
            std::string copy = text;
            CHECK(!json::repair_utf8(copy));
            CHECK(copy == text);
        }
}

TEST(utf8_refuses_ill_formed_text) {
    const char* invalid[] = {
        "\x80",              // a continuation byte alone
        "\xBF",
        "\xC0\x80",          // overlong NUL
        "\xC1\xBF",          // overlong U+007F
        "\xE0\x80\x80",      // overlong three-byte
        "\xE0\x9F\xBF",      // overlong U+07FF
        "\xF0\x80\x80\x80",  // overlong four-byte
        "\xF0\x8F\xBF\xBF",  // overlong U+FFFF
        "\xED\xA0\x80",      // U+D800, a surrogate
        "\xED\xBF\xBF",      // U+DFFF
        "\xF4\x90\x80\x80",  // U+110000, beyond Unicode
        "\xF5\x80\x80\x80",
        "\xF8\x88\x80\x80\x80",
        "\xFE",
        "\xFF",
        "\xC3",              // truncated two-byte
        "\xE6\x97",          // truncated three-byte
        "\xF0\x9F\x98",      // truncated four-byte
        "\xC3\x41",          // a lead byte followed by ASCII
        "\xE6\x41\x97",
    };
    for (const char* s : invalid)
        for (const std::string& text : placements(s))
            if (json::is_valid_utf8(text)) ::qvtok::test::fail(__FILE__, __LINE__, "accepted: " + text);
}

TEST(utf8_repair_puts_one_replacement_per_maximal_ill_formed_subpart) {
    const std::string r = "\xEF\xBF\xBD";
    struct Case {
        std::string in, out;
    } cases[] = {
        // The examples the Unicode standard gives for this practice.
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", "a" + r + r + r + "b" + r + "c" + r + r + "d"},
        // Each byte of a sequence that no character can start is its own subpart.
        {"\xC0\xAF", r + r},
        {"\xE0\x80\xAF", r + r + r},
        {"\xED\xA0\x80", r + r + r},
        {"\xF4\x90\x80\x80", r + r + r + r},
        {"\xF8\x88\x80\x80\x80", r + r + r + r + r},
        // A truncated character is one subpart, however much of it is there.
        {"\xF0\x9F\x98", r},
        {"\xF0\x9F\x98x", r + "x"},
        {"\xE6\x97", r},
        {"x\xC3", "x" + r},
        {"\xF0\x9F\x98\xF0\x9F\x98\x80", r + "\xF0\x9F\x98\x80"},
        // Repair keeps what is valid around the fault.
        {"caf\xC3\xA9\xFF!", "caf\xC3\xA9" + r + "!"},
    };
    for (const Case& c : cases) {
        std::string text = c.in;
        CHECK(json::repair_utf8(text));
        if (text != c.out) ::qvtok::test::fail(__FILE__, __LINE__, "repair of " + c.in + " gave " + text);
        CHECK(json::is_valid_utf8(text));
        std::string pad(40, 'p');
        std::string padded = pad + c.in + pad;
        CHECK(json::repair_utf8(padded));
        CHECK(padded == pad + c.out + pad);
    }
}
