// The reader: values, object key order, the nesting limit and the position
// of each kind of syntax error.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <random>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "core/json/reader.hpp"

using namespace qvtok;
using json::Kind;
using json::Syntax;

namespace {

json::Document parse(const std::string& text) {
    auto doc = json::read_json_text(text);
    CHECK(doc.ok());
    if (!doc.ok()) return json::Document();
    return std::move(doc).value();
}

int kind(const json::Value& v) { return static_cast<int>(v.kind()); }

std::vector<json::Value> elements(const json::Value& array) {
    std::vector<json::Value> out;
    for (json::Value v : array.elements()) out.push_back(v);
    return out;
}

std::vector<json::Member> members(const json::Value& object) {
    std::vector<json::Member> out;
    for (json::Member m : object.members()) out.push_back(m);
    return out;
}

std::vector<std::string> keys(const json::Value& object) {
    std::vector<std::string> out;
    for (json::Member m : object.members()) out.emplace_back(m.key);
    return out;
}

}  // namespace

TEST(reader_values_of_every_kind) {
    auto doc = parse(" [null, true, false, 0, 42, -7, 2.5, \"plain\", \"esc\\\"aped\\n\\u00e9\\ud83d\\ude00\", [], {}] \n");
    json::Value root = doc.root();
    CHECK_EQ(kind(root), static_cast<int>(Kind::Array));
    CHECK_EQ(root.size(), 11u);
    std::vector<json::Value> e = elements(root);
    CHECK_EQ(e.size(), 11u);
    if (e.size() != 11) return;
    CHECK_EQ(kind(e[0]), static_cast<int>(Kind::Null));
    CHECK_EQ(kind(e[1]), static_cast<int>(Kind::True));
    CHECK_EQ(kind(e[2]), static_cast<int>(Kind::False));
    CHECK_EQ(kind(e[3]), static_cast<int>(Kind::Unsigned));
    CHECK_EQ(e[3].as_unsigned(), 0u);
    CHECK_EQ(e[4].as_unsigned(), 42u);
    CHECK_EQ(kind(e[5]), static_cast<int>(Kind::Negative));
    CHECK_EQ(e[5].as_negative(), -7);
    CHECK_EQ(kind(e[6]), static_cast<int>(Kind::Float));
    CHECK_EQ(e[6].as_float(), 2.5);
    CHECK_EQ(e[7].str(), "plain");
    CHECK(e[7].is_ascii());
    CHECK_EQ(e[8].str(), "esc\"aped\n\xC3\xA9\xF0\x9F\x98\x80");
    CHECK(!e[8].is_ascii());
    CHECK_EQ(kind(e[9]), static_cast<int>(Kind::Array));
    CHECK_EQ(e[9].size(), 0u);
    CHECK_EQ(kind(e[10]), static_cast<int>(Kind::Object));
    CHECK_EQ(e[10].size(), 0u);
    CHECK_EQ(root.end(), doc.tape.size());
}

TEST(reader_nested_values_keep_their_places) {
    auto doc = parse(R"({"a": [1, {"b": [2, 3]}, 4], "c": "d"})");
    std::vector<json::Member> m = members(doc.root());
    CHECK_EQ(m.size(), 2u);
    if (m.size() != 2) return;
    std::vector<json::Value> a = elements(m[0].value);
    CHECK_EQ(a.size(), 3u);
    if (a.size() != 3) return;
    CHECK_EQ(a[0].as_unsigned(), 1u);
    CHECK_EQ(a[2].as_unsigned(), 4u);  // after the whole of {"b": [2, 3]}
    json::Member b = *a[1].members().begin();
    CHECK_EQ(b.key, "b");
    CHECK_EQ(b.value.size(), 2u);
    CHECK_EQ(m[1].value.str(), "d");
}

TEST(reader_object_keys_ascend_by_bytes_and_the_last_duplicate_wins) {
    // "\u0061" is "a" written otherwise: still the same key. Keys that share
    // their first eight bytes, and keys beyond ASCII, sort by all their bytes.
    auto doc = parse(R"({"b": 1, "a": 2, "\u00e9": 3, "abcdefghZ": 4, "abcdefghA": 5, "B": 6,
                        "b": 7, "\u0061": 8, "": 9, "abcdefgh": 10})");
    json::Value root = doc.root();
    std::vector<std::string> want = {"", "B", "a", "abcdefgh", "abcdefghA", "abcdefghZ", "b", "\xC3\xA9"};
    CHECK(keys(root) == want);
    CHECK_EQ(root.size(), want.size());
    for (json::Member m : root.members()) {
        if (m.key == "a") CHECK_EQ(m.value.as_unsigned(), 8u);
        if (m.key == "b") CHECK_EQ(m.value.as_unsigned(), 7u);
        CHECK_EQ(m.key_ascii, m.key != "\xC3\xA9");
    }
    // A duplicate may hide a value of another kind, even a container.
    auto again = parse(R"({"k": [1, 2, {"x": 1}], "k": null})");
    CHECK_EQ(again.root().size(), 1u);
    CHECK_EQ(kind((*again.root().members().begin()).value), static_cast<int>(Kind::Null));
}

// An integer past 64 bits with more digits than the options allow is refused
// at its first byte, by a read, a check and a compacting check alike; the
// limit counts digits, not the sign, and 0 is no limit.
TEST(reader_refuses_integers_longer_than_the_digit_limit) {
    const std::string digits(30, '7');
    struct Case {
        std::string literal;
        std::size_t limit;
        bool refused;
    } cases[] = {
        {digits, 30, false},       {digits, 29, true},  {"-" + digits, 30, false}, {"-" + digits, 29, true},
        {digits, 0, false},        {"12345", 3, false},  // within 64 bits: no conversion limit applies
        {digits + ".5", 3, false},  // a float, not an int
    };
    for (const Case& c : cases) {
        json::ReadOptions options = json::kJsonModuleOptions;
        options.max_int_digits = c.limit;
        const std::string text = "[1,\n " + c.literal + "]";
        auto read = json::read_json_text(text, options);
        auto checked = json::check_json_text(text, options);
        std::string out;
        auto compacted = json::compact_json_text(text, out, options);
        CHECK_EQ(!read.ok(), c.refused);
        CHECK_EQ(checked.has_value(), c.refused);
        CHECK_EQ(compacted.has_value(), c.refused);
        if (!read.ok()) {
            CHECK_EQ(static_cast<int>(read.error().syntax), static_cast<int>(Syntax::IntegerTooLong));
            CHECK_EQ(read.error().offset, 5u);
            CHECK_EQ(read.error().line, 2u);
            CHECK_EQ(read.error().column, 2u);
            CHECK_EQ(checked->offset, 5u);
        }
    }
    // bigjson's options never keep integers exact, and so never refuse them.
    json::ReadOptions options;
    options.max_int_digits = 3;
    CHECK(json::read_json_text("[" + digits + "]", options).ok());
}

TEST(reader_nesting_stops_at_127_levels) {
    for (const char* open_close : {"[]", "{}"}) {
        auto nest = [&](unsigned depth) {
            std::string text;
            for (unsigned i = 0; i < depth; ++i) text += open_close[0] == '[' ? "[" : "{\"k\":";
            text += "0";
            for (unsigned i = 0; i < depth; ++i) text += open_close[1];
            return text;
        };
        CHECK(json::read_json_text(nest(json::kNestingLimit)).ok());
        auto deep = json::read_json_text(nest(json::kNestingLimit + 1));
        CHECK(!deep.ok());
        if (!deep.ok()) CHECK_EQ(static_cast<int>(deep.error().syntax), static_cast<int>(Syntax::RecursionLimit));
    }
    // Depth, not count: many closed containers side by side are fine.
    std::string wide = "[";
    for (int i = 0; i < 1000; ++i) wide += "[[]],";
    wide += "0]";
    CHECK(json::read_json_text(wide).ok());
}

TEST(reader_syntax_errors_name_their_place) {
    struct Case {
        const char* text;
        Syntax syntax;
        std::uint64_t line, column, offset;
    } cases[] = {
        {"", Syntax::EofValue, 1, 0, 0},
        {"   ", Syntax::EofValue, 1, 3, 2},
        {"-", Syntax::EofValue, 1, 1, 0},
        {"1.", Syntax::EofValue, 1, 2, 1},
        {"1e", Syntax::EofValue, 1, 2, 1},
        {"tru", Syntax::EofValue, 1, 3, 2},
        {"[1,2", Syntax::EofList, 1, 4, 3},
        {"[\n", Syntax::EofList, 2, 0, 1},
        {"{\"a\":1", Syntax::EofObject, 1, 6, 5},
        {"{\"a\"", Syntax::EofObject, 1, 4, 3},
        {"\"abc", Syntax::EofString, 1, 4, 3},
        {"\"\\u12\"", Syntax::EofString, 1, 6, 5},
        {"{\"a\" 1}", Syntax::ExpectedColon, 1, 6, 5},
        {"[1 2]", Syntax::ExpectedListEnd, 1, 4, 3},
        {"[1}", Syntax::ExpectedListEnd, 1, 3, 2},
        {"[\r\n1 x]", Syntax::ExpectedListEnd, 2, 3, 5},
        {"{\"a\":1]", Syntax::ExpectedObjectEnd, 1, 7, 6},
        {"trux", Syntax::ExpectedIdent, 1, 4, 3},
        {"tx", Syntax::ExpectedIdent, 1, 2, 1},
        {"[}", Syntax::ExpectedValue, 1, 2, 1},
        {"]", Syntax::ExpectedValue, 1, 1, 0},
        {"{\"a\":}", Syntax::ExpectedValue, 1, 6, 5},
        {"[1,\n2,\n  x]", Syntax::ExpectedValue, 3, 3, 9},
        {"\n\n@", Syntax::ExpectedValue, 3, 1, 2},
        {"\f1", Syntax::ExpectedValue, 1, 1, 0},
        {"\"\\x\"", Syntax::InvalidEscape, 1, 3, 2},
        {"01", Syntax::InvalidNumber, 1, 2, 1},
        {"--1", Syntax::InvalidNumber, 1, 2, 1},
        {"1e400", Syntax::NumberOutOfRange, 1, 5, 4},
        {"\"a\tb\"", Syntax::ControlCharacter, 1, 3, 2},
        {"{1:2}", Syntax::KeyMustBeString, 1, 2, 1},
        {"{]", Syntax::KeyMustBeString, 1, 2, 1},
        {"\"\\ud800\\u0041\"", Syntax::LoneSurrogate, 1, 13, 12},
        {"[\"a\\udc00\"]", Syntax::LoneTrailingSurrogate, 1, 9, 8},
        {"\"\\ud800\"", Syntax::UnexpectedEndOfHexEscape, 1, 8, 7},
        {"[1,]", Syntax::TrailingComma, 1, 4, 3},
        {"{\"a\":1,}", Syntax::TrailingComma, 1, 8, 7},
        {"1 2", Syntax::TrailingCharacters, 1, 3, 2},
        {"[1]x", Syntax::TrailingCharacters, 1, 4, 3},
        {"{\"a\":1}\n\n  }", Syntax::TrailingCharacters, 3, 3, 11},
    };
    for (const Case& c : cases) {
        auto r = json::read_json_text(c.text);
        CHECK(!r.ok());
        if (r.ok()) {
            ::qvtok::test::fail(__FILE__, __LINE__, std::string("parsed: ") + c.text);
            continue;
        }
        const json::JsonParseError& e = r.error();
        if (e.syntax != c.syntax || e.line != c.line || e.column != c.column || e.offset != c.offset)
            ::qvtok::test::fail(__FILE__, __LINE__,
                                std::string("wrong error for ") + c.text + ": syntax " +
                                    std::to_string(static_cast<int>(e.syntax)) + " at " + std::to_string(e.line) +
                                    ":" + std::to_string(e.column) + " offset " + std::to_string(e.offset));
    }
}

TEST(reader_errors_say_how_python_json_tells_them) {
    // The fault as json words it, and json's place: the offset it names
    // (the end of the text past its last byte), its line, and its column
    // counted from 1 after the line feed before it. A check tells the same.
    using json::JsonFault;
    struct Case {
        const char* text;
        JsonFault fault;
        std::uint64_t offset, line, column;
        bool comma_named;  // a trailing comma named at the comma, as json does from 3.13 on
    } cases[] = {
        {"", JsonFault::ExpectingValue, 0, 1, 1, false},
        {"  \n ", JsonFault::ExpectingValue, 4, 2, 2, false},
        {"[", JsonFault::ExpectingValue, 1, 1, 2, false},
        {"[1", JsonFault::ExpectingDelimiter, 2, 1, 3, false},
        {"[1,", JsonFault::ExpectingValue, 3, 1, 4, false},
        {"[1,]", JsonFault::ExpectingValue, 3, 1, 4, false},
        {"[1,\n]", JsonFault::ExpectingValue, 4, 2, 1, false},
        {"[,1]", JsonFault::ExpectingValue, 1, 1, 2, false},
        {"[1 2]", JsonFault::ExpectingDelimiter, 3, 1, 4, false},
        {"[1}", JsonFault::ExpectingDelimiter, 2, 1, 3, false},
        {"{", JsonFault::ExpectingPropertyName, 1, 1, 2, false},
        {"{1:2}", JsonFault::ExpectingPropertyName, 1, 1, 2, false},
        {"{\"a\":1,}", JsonFault::ExpectingPropertyName, 7, 1, 8, false},
        {"{\"a\":1,", JsonFault::ExpectingPropertyName, 7, 1, 8, false},
        {"{\"a\":1,2}", JsonFault::ExpectingPropertyName, 7, 1, 8, false},
        {"{\"a\"", JsonFault::ExpectingColon, 4, 1, 5, false},
        {"{\"a\" 1}", JsonFault::ExpectingColon, 5, 1, 6, false},
        {"{\"a\":", JsonFault::ExpectingValue, 5, 1, 6, false},
        {"{\"a\":1", JsonFault::ExpectingDelimiter, 6, 1, 7, false},
        {"{\"a\":1]", JsonFault::ExpectingDelimiter, 6, 1, 7, false},
        {"[1] x", JsonFault::ExtraData, 4, 1, 5, false},
        {"1 2", JsonFault::ExtraData, 2, 1, 3, false},
        // A misspelt literal, a sign alone: no value at all, at its start.
        {"tru", JsonFault::ExpectingValue, 0, 1, 1, false},
        {"[\n  trux]", JsonFault::ExpectingValue, 4, 2, 3, false},
        {"[nul]", JsonFault::ExpectingValue, 1, 1, 2, false},
        {"[-]", JsonFault::ExpectingValue, 1, 1, 2, false},
        {"-", JsonFault::ExpectingValue, 0, 1, 1, false},
        // A number json reads shorter: what follows is where a comma was due.
        {"01", JsonFault::ExtraData, 1, 1, 2, false},
        {"[01]", JsonFault::ExpectingDelimiter, 2, 1, 3, false},
        {"1.", JsonFault::ExtraData, 1, 1, 2, false},
        {"[1.]", JsonFault::ExpectingDelimiter, 2, 1, 3, false},
        {"{\"a\":1.x}", JsonFault::ExpectingDelimiter, 6, 1, 7, false},
        {"[1e+]", JsonFault::ExpectingDelimiter, 2, 1, 3, false},
        {"[1.5E-x]", JsonFault::ExpectingDelimiter, 4, 1, 5, false},
        {"[1e", JsonFault::ExpectingDelimiter, 2, 1, 3, false},
        // Strings.
        {"\"abc", JsonFault::UnterminatedString, 0, 1, 1, false},
        {"[1,\n \"ab\\\"", JsonFault::UnterminatedString, 5, 2, 2, false},
        {"{\"ab", JsonFault::UnterminatedString, 1, 1, 2, false},
        {"[\"a\\", JsonFault::UnterminatedString, 1, 1, 2, false},
        {"[\"a\x01\"]", JsonFault::InvalidControl, 3, 1, 4, false},
        {"[\"a\nb\"]", JsonFault::InvalidControl, 3, 1, 4, false},
        {"[\"\\q\"]", JsonFault::InvalidEscape, 2, 1, 3, false},
        {"[\"\\u12\"]", JsonFault::InvalidUnicodeEscape, 3, 1, 4, false},
        {"\"\\u12", JsonFault::InvalidUnicodeEscape, 2, 1, 3, false},
        {"\"\\u1234", JsonFault::InvalidUnicodeEscape, 2, 1, 3, false},
        {"\"\\ud800", JsonFault::InvalidUnicodeEscape, 2, 1, 3, false},
        {"\"\\ud83d\\ude00", JsonFault::InvalidUnicodeEscape, 8, 1, 9, false},
        {"[\"\\ud800\\u12\"]", JsonFault::InvalidUnicodeEscape, 9, 1, 10, false},
        {"\"\\ud800\\", JsonFault::UnterminatedString, 0, 1, 1, false},
        // What json reads, or stops otherwise: the reader's own fault.
        {"[\"\\udc00\"]", JsonFault::None, 7, 1, 8, false},
        {"\"\\ud800\"", JsonFault::None, 7, 1, 8, false},
        {"[1e400]", JsonFault::None, 5, 1, 6, false},
        // Asked to, a comma before a closer is named where it stands.
        {"[1,]", JsonFault::TrailingCommaArray, 2, 1, 3, true},
        {"[1,\n ]", JsonFault::TrailingCommaArray, 2, 1, 3, true},
        {"{\"a\":1 ,\n}", JsonFault::TrailingCommaObject, 7, 1, 8, true},
        {"[[1,],2]", JsonFault::TrailingCommaArray, 3, 1, 4, true},
    };
    for (const Case& c : cases) {
        json::ReadOptions options;
        options.trailing_comma_at_comma = c.comma_named;
        std::optional<json::JsonParseError> read;
        if (auto r = json::read_json_text(c.text, options); !r.ok()) read = r.error();
        for (const std::optional<json::JsonParseError>& e : {read, json::check_json_text(c.text, options)}) {
            if (!e) {
                ::qvtok::test::fail(__FILE__, __LINE__, std::string("parsed: ") + c.text);
                continue;
            }
            if (e->json_fault != c.fault || e->json_offset != c.offset || e->json_line != c.line ||
                e->json_column != c.column)
                ::qvtok::test::fail(__FILE__, __LINE__,
                                    std::string("wrong json fault for ") + c.text + ": " +
                                        std::to_string(static_cast<int>(e->json_fault)) + " at " +
                                        std::to_string(e->json_offset) + " (" + std::to_string(e->json_line) +
                                        ":" + std::to_string(e->json_column) + ")");
        }
    }
}

TEST(reader_positions_count_from_the_start_of_the_piece) {
    // The same bad text inside a larger buffer: the reader looks only at its
    // range, and positions count from where the range begins.
    std::string buffer = "[1,\n2]\n{\"a\":\n  x}\n[3]";
    std::size_t begin = buffer.find('{'), length = buffer.find('}') + 1 - begin;
    auto r = json::read_json_text(buffer, begin, length);
    CHECK(!r.ok());
    if (r.ok()) return;
    CHECK_EQ(static_cast<int>(r.error().syntax), static_cast<int>(Syntax::ExpectedValue));
    CHECK_EQ(r.error().line, 2u);
    CHECK_EQ(r.error().column, 3u);
    CHECK_EQ(r.error().offset, 8u);
    auto ok = json::read_json_text(buffer, buffer.rfind('['), 3);
    CHECK(ok.ok());
    if (ok.ok()) CHECK_EQ((*ok.value().root().elements().begin()).as_unsigned(), 3u);
}

TEST(reader_integers_beyond_64_bits_and_negative_zero_are_floats) {
    struct Case {
        const char* text;
        double value;
    } cases[] = {
        {"18446744073709551616", 18446744073709551616.0},
        {"-9223372036854775809", -9223372036854775809.0},
        {"123456789012345678901234567890", 123456789012345678901234567890.0},
        {"-0", -0.0},
    };
    for (const Case& c : cases) {
        auto doc = parse(c.text);
        if (doc.tape.empty()) continue;
        CHECK_EQ(kind(doc.root()), static_cast<int>(Kind::Float));
        CHECK_EQ(doc.root().as_float(), c.value);
    }
    auto zero = parse("-0");
    if (!zero.tape.empty()) CHECK(std::signbit(zero.root().as_float()));
    auto plain = parse("0");
    if (!plain.tape.empty()) CHECK_EQ(kind(plain.root()), static_cast<int>(Kind::Unsigned));
}

TEST(reader_scratch_reuse_leaves_no_trace) {
    // Storage kept from earlier parses, including one that failed half-way
    // through an object, must not leak into the next document.
    json::ReaderScratch scratch;
    auto parse_with = [&](std::string text) {
        std::size_t n = text.size();
        return json::read_json_text(std::move(text), 0, n, scratch);
    };
    auto first = parse_with(R"({"z": {"y": 1, "x": [2]}, "w": 3})");
    CHECK(first.ok());
    if (first.ok()) scratch.recycle(std::move(first).value());
    CHECK(!parse_with(R"({"q": {"p": 1, "o": )").ok());
    auto next = parse_with(R"({"b": 1, "a": {"c": 2}})");
    CHECK(next.ok());
    if (!next.ok()) return;
    std::vector<std::string> want = {"a", "b"};
    CHECK(keys(next.value().root()) == want);
    std::vector<std::string> inner = {"c"};
    CHECK(keys((*next.value().root().members().begin()).value) == inner);
}

namespace {

json::ReadOptions as_python_reads() { return json::kJsonModuleOptions; }

json::Document parse_with(const std::string& text, const json::ReadOptions& options) {
    auto doc = json::read_json_text(text, options);
    CHECK(doc.ok());
    if (!doc.ok()) return json::Document();
    return std::move(doc).value();
}

}  // namespace

TEST(reader_document_order_keeps_every_member_as_written) {
    json::ReadOptions options;
    options.key_order = json::KeyOrder::Document;
    auto doc = parse_with(R"({"b": 1, "a": {"z": true, "y": [ {"q": 0, "p": 1} ], "z": false}, "b": 3, "": null})",
                          options);
    if (doc.tape.empty()) return;
    json::Value root = doc.root();
    CHECK_EQ(root.size(), 4u);
    CHECK(keys(root) == (std::vector<std::string>{"b", "a", "b", ""}));
    std::vector<json::Member> m = members(root);
    if (m.size() != 4) return;
    CHECK_EQ(m[0].value.as_unsigned(), 1u);
    CHECK_EQ(m[2].value.as_unsigned(), 3u);
    CHECK_EQ(kind(m[3].value), static_cast<int>(Kind::Null));
    // Inner objects close before the outer one: their members stay theirs.
    CHECK(keys(m[1].value) == (std::vector<std::string>{"z", "y", "z"}));
    std::vector<json::Member> inner = members(m[1].value);
    if (inner.size() != 3) return;
    CHECK_EQ(kind(inner[0].value), static_cast<int>(Kind::True));
    CHECK_EQ(kind(inner[2].value), static_cast<int>(Kind::False));
    std::vector<json::Value> list = elements(inner[1].value);
    if (list.size() != 1) return;
    CHECK(keys(list[0]) == (std::vector<std::string>{"q", "p"}));

    // The same text with the defaults: sorted, the last duplicate kept.
    auto sorted = parse(R"({"b": 1, "a": 2, "b": 3})");
    if (sorted.tape.empty()) return;
    CHECK(keys(sorted.root()) == (std::vector<std::string>{"a", "b"}));
    CHECK_EQ(members(sorted.root())[1].value.as_unsigned(), 3u);
}

TEST(reader_document_order_with_many_members_and_escaped_keys) {
    // Past the small-object sort, and keys decoded into the arena.
    std::string text = "{";
    std::vector<std::string> expected;
    for (int i = 40; i > 0; --i) {
        std::string key = "k" + std::to_string(i % 17);
        text += "\"" + key + "\\u00e9\": " + std::to_string(i) + (i > 1 ? ", " : "}");
        expected.push_back(key + "\xc3\xa9");
    }
    json::ReadOptions options;
    options.key_order = json::KeyOrder::Document;
    auto doc = parse_with(text, options);
    if (doc.tape.empty()) return;
    CHECK(keys(doc.root()) == expected);
    CHECK_EQ(doc.root().size(), 40u);

    // Through a reused scratch, as a record stream parses.
    json::ReaderScratch scratch;
    for (int round = 0; round < 3; ++round) {
        auto again = json::read_json_text(text, 0, text.size(), scratch, options);
        CHECK(again.ok());
        if (!again.ok()) return;
        CHECK(keys(again.value().root()) == expected);
        scratch.recycle(std::move(again).value());
    }
}

TEST(reader_exact_integers_keep_their_literal) {
    struct Case {
        const char* text;
        Kind kind;
    } cases[] = {
        {"18446744073709551615", Kind::Unsigned},
        {"18446744073709551616", Kind::BigInt},
        {"-9223372036854775808", Kind::Negative},
        {"-9223372036854775809", Kind::BigInt},
        {"123456789012345678901234567890", Kind::BigInt},
        {"-123456789012345678901234567890", Kind::BigInt},
        {"123456789012345678901234567890.5", Kind::Float},
        {"123456789012345678901234567890e0", Kind::Float},
        {"-18446744073709551616E-3", Kind::Float},
        {"1.0", Kind::Float},
    };
    for (const Case& c : cases) {
        auto doc = parse_with(std::string(" ") + c.text + " ", as_python_reads());
        if (doc.tape.empty()) continue;
        CHECK_EQ(kind(doc.root()), static_cast<int>(c.kind));
        if (c.kind == Kind::BigInt) CHECK_EQ(std::string(doc.root().str()), std::string(c.text));
    }
    // Inside containers, each literal is its own.
    auto doc = parse_with(R"({"a": [99999999999999999999, -0, 7], "b": -99999999999999999999})", as_python_reads());
    if (doc.tape.empty()) return;
    std::vector<json::Member> m = members(doc.root());
    if (m.size() != 2) return;
    std::vector<json::Value> list = elements(m[0].value);
    if (list.size() != 3) return;
    CHECK_EQ(std::string(list[0].str()), std::string("99999999999999999999"));
    CHECK_EQ(kind(list[1]), static_cast<int>(Kind::Unsigned));
    CHECK_EQ(list[2].as_unsigned(), 7u);
    CHECK_EQ(std::string(m[1].value.str()), std::string("-99999999999999999999"));
}

TEST(reader_exact_integers_read_negative_zero_as_integer_zero) {
    auto zero = parse_with("-0", as_python_reads());
    if (!zero.tape.empty()) {
        CHECK_EQ(kind(zero.root()), static_cast<int>(Kind::Unsigned));
        CHECK_EQ(zero.root().as_unsigned(), 0u);
    }
    for (const char* text : {"-0.0", "-0e0", "-0E+5"}) {
        auto f = parse_with(text, as_python_reads());
        if (f.tape.empty()) continue;
        CHECK_EQ(kind(f.root()), static_cast<int>(Kind::Float));
        CHECK(std::signbit(f.root().as_float()));
    }
}

TEST(reader_out_of_range_floats_fail_in_every_mode) {
    for (const char* text : {"1e400", "-1e400", "123456789012345678901234567890e300"}) {
        CHECK(!json::read_json_text(text).ok());
        auto r = json::read_json_text(text, as_python_reads());
        CHECK(!r.ok());
        if (!r.ok()) CHECK_EQ(static_cast<int>(r.error().syntax), static_cast<int>(Syntax::NumberOutOfRange));
    }
}

namespace {

// Random JSON texts with repeated keys, escaped keys and numbers at the
// edges of the 64-bit ranges.
std::string random_text(std::mt19937_64& rng, int depth) {
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    static const char* const kKeys[] = {"a", "b", "ab", "", "\\u00e9", "\\u0061", "b\\\"", "long_key_with_a_tail", "\xc3\xa9"};
    static const char* const kNumbers[] = {"0", "-0", "-0.0", "7", "-7", "18446744073709551615", "18446744073709551616",
                                           "-9223372036854775808", "-9223372036854775809", "1e3", "2.5E-3",
                                           "123456789012345678901234567890", "-123456789012345678901234567890"};
    std::size_t choice = pick(depth < 4 ? 6 : 3);
    if (choice == 0) return kNumbers[pick(std::size(kNumbers))];
    if (choice == 1) return pick(2) ? "null" : "true";
    if (choice == 2) return std::string("\"") + kKeys[pick(std::size(kKeys))] + "\"";
    if (choice == 3) {
        std::string out = "[";
        for (std::size_t i = 0, n = pick(5); i < n; ++i) out += (i ? "," : "") + random_text(rng, depth + 1);
        return out + "]";
    }
    std::string out = "{";
    for (std::size_t i = 0, n = pick(24); i < n; ++i)
        out += std::string(i ? ", " : "") + "\"" + kKeys[pick(std::size(kKeys))] + "\": " + random_text(rng, depth + 1);
    return out + "}";
}

// `sorted` read with the defaults, `exact` with the text's order and exact
// integers: the same values, the second's objects reduced by "the last of
// a repeated key wins" and sorted by key bytes giving the first's.
void check_same_document(json::Value sorted, json::Value exact) {
    Kind ks = sorted.kind(), ke = exact.kind();
    if (ke == Kind::BigInt) {
        CHECK_EQ(kind(sorted), static_cast<int>(Kind::Float));
        CHECK_EQ(sorted.as_float(), std::strtod(std::string(exact.str()).c_str(), nullptr));
        return;
    }
    if (ks == Kind::Float && ke == Kind::Unsigned) {  // "-0"
        CHECK_EQ(sorted.as_float(), 0.0);
        CHECK_EQ(exact.as_unsigned(), 0u);
        return;
    }
    CHECK_EQ(static_cast<int>(ks), static_cast<int>(ke));
    if (ks != ke) return;
    switch (ks) {
        case Kind::Unsigned: CHECK_EQ(sorted.as_unsigned(), exact.as_unsigned()); break;
        case Kind::Negative: CHECK_EQ(sorted.as_negative(), exact.as_negative()); break;
        case Kind::Float: CHECK_EQ(sorted.as_float(), exact.as_float()); break;
        case Kind::String: CHECK(sorted.str() == exact.str()); break;
        case Kind::Array: {
            std::vector<json::Value> a = elements(sorted), b = elements(exact);
            CHECK_EQ(a.size(), b.size());
            for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) check_same_document(a[i], b[i]);
            break;
        }
        case Kind::Object: {
            std::vector<json::Member> written = members(exact), reduced;
            for (std::size_t i = 0; i < written.size(); ++i) {
                bool later = false;
                for (std::size_t j = i + 1; j < written.size(); ++j) later |= written[j].key == written[i].key;
                if (!later) reduced.push_back(written[i]);
            }
            std::stable_sort(reduced.begin(), reduced.end(),
                             [](const json::Member& x, const json::Member& y) { return x.key < y.key; });
            std::vector<json::Member> got = members(sorted);
            CHECK_EQ(got.size(), reduced.size());
            for (std::size_t i = 0; i < got.size() && i < reduced.size(); ++i) {
                CHECK(got[i].key == reduced[i].key);
                check_same_document(got[i].value, reduced[i].value);
            }
            break;
        }
        default: break;
    }
}

}  // namespace

TEST(reader_both_key_orders_and_number_modes_agree_on_random_texts) {
    std::mt19937_64 rng(20261207);
    json::ReaderScratch scratch_sorted, scratch_exact;
    for (int round = 0; round < 3000; ++round) {
        std::string text = random_text(rng, 0);
        auto sorted = json::read_json_text(text, 0, text.size(), scratch_sorted);
        auto exact = json::read_json_text(text, 0, text.size(), scratch_exact, as_python_reads());
        CHECK(sorted.ok() && exact.ok());
        if (!sorted.ok() || !exact.ok()) {
            std::fprintf(stderr, "text: %s\n", text.c_str());
            return;
        }
        check_same_document(sorted.value().root(), exact.value().root());
        scratch_sorted.recycle(std::move(sorted).value());
        scratch_exact.recycle(std::move(exact).value());
    }
}

namespace {

std::string outcome_of(const std::optional<json::JsonParseError>& e) {
    if (!e) return "ok";
    return std::to_string(static_cast<int>(e->syntax)) + " at " + std::to_string(e->line) + ":" +
           std::to_string(e->column) + " offset " + std::to_string(e->offset) + ", json's " +
           std::to_string(static_cast<int>(e->json_fault)) + " at " + std::to_string(e->json_offset) + " (" +
           std::to_string(e->json_line) + ":" + std::to_string(e->json_column) + ")";
}

}  // namespace

TEST(checking_a_text_fails_exactly_where_reading_it_does) {
    // Random texts, and the same with one byte cut, doubled or replaced,
    // under both number modes: a check agrees with a read on every outcome.
    std::mt19937_64 rng(7122026);
    static const char kBytes[] = "{}[],:\"\\ 0-1e.E+tnfu\x01\xc3";
    int broken = 0;
    for (int round = 0; round < 6000; ++round) {
        std::string text = random_text(rng, 0);
        if (round % 3 != 0 && !text.empty()) {
            std::size_t at = rng() % text.size();
            switch (rng() % 3) {
                case 0: text.erase(at, 1); break;
                case 1: text.insert(at, 1, text[at]); break;
                default: text[at] = kBytes[rng() % (sizeof kBytes - 1)]; break;
            }
        }
        for (const json::ReadOptions& options : {json::ReadOptions{}, as_python_reads()}) {
            auto read = json::read_json_text(text, options);
            std::optional<json::JsonParseError> read_error;
            if (!read.ok()) read_error = read.error();
            std::string expected = outcome_of(read_error), got = outcome_of(json::check_json_text(text, options));
            CHECK(got == expected);
            if (got != expected) {
                std::fprintf(stderr, "text: %s\nread: %s\ncheck: %s\n", text.c_str(), expected.c_str(), got.c_str());
                return;
            }
            broken += !read.ok();
        }
    }
    CHECK(broken > 1000);  // the mutations reach the error paths
}

TEST(checking_finds_numbers_out_of_range_only_where_they_are) {
    for (const char* text : {"1e400", "-1e308e", "123456789012345678901234567890e300", "[1e308, 17.9e307, 1.8e308]"}) {
        auto e = json::check_json_text(text);
        CHECK(e.has_value());
    }
    for (const char* text : {"1e308", "1.7976931348623157e308", "1e-400", "123456789012345678901234567890e270", "0e99999999999"}) {
        CHECK(!json::check_json_text(text).has_value());
    }
}

namespace {

// The text of a valid JSON value with the white space outside its strings
// dropped, byte by byte.
std::string compacted_by_hand(std::string_view text) {
    std::string out;
    bool in_string = false, escaped = false;
    for (char c : text) {
        if (in_string) {
            in_string = escaped || c != '"';
            escaped = !escaped && c == '\\';
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            continue;
        } else {
            in_string = c == '"';
        }
        out += c;
    }
    return out;
}

}  // namespace

TEST(compacting_drops_only_the_white_space_between_tokens) {
    std::mt19937_64 rng(20261208);
    static const char* const kSpace[] = {" ", "\n  ", "\t", "\r\n", "                    "};
    for (int round = 0; round < 3000; ++round) {
        // White space after every byte outside strings that may take it.
        std::string dense = random_text(rng, 0), text = kSpace[rng() % 5];
        bool in_string = false, escaped = false;
        for (char c : dense) {
            text += c;
            if (in_string) {
                in_string = escaped || c != '"';
                escaped = !escaped && c == '\\';
                if (in_string) continue;
            } else if (c == '"') {
                in_string = true;
                continue;
            }
            if (std::string_view("{}[],:\"").find(c) != std::string_view::npos && rng() % 2) text += kSpace[rng() % 5];
        }
        std::string out = "kept";
        auto fault = json::compact_json_text(text, out, as_python_reads());
        CHECK(!fault.has_value());
        CHECK(out == "kept" + compacted_by_hand(text));
        if (fault || out != "kept" + compacted_by_hand(text)) {
            std::fprintf(stderr, "text: %s\nout:  %s\n", text.c_str(), out.c_str());
            return;
        }
    }
}

TEST(compacting_a_text_that_does_not_read_leaves_the_output_alone) {
    for (const char* text : {"[1, 2", "{\"a\" 1}", "[1 2]", "\"a\tb\"", "  ", "[1e400]"}) {
        std::string out = "before";
        auto fault = json::compact_json_text(text, out);
        auto check = json::check_json_text(text);
        CHECK(fault.has_value() && check.has_value());
        if (fault && check) CHECK_EQ(fault->offset, check->offset);
        CHECK(out == "before");
    }
}
