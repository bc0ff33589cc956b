// What the sink tests share: a sink that writes down what it is handed,
// the same tokens from a tape, and random texts to read.
#pragma once

#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/json/reader.hpp"
#include "core/json/utf8.hpp"

namespace qvtok::test {

// The shape of a string by decoding it character by character.
inline json::Utf8Shape decoded_shape(std::string_view bytes) {
    json::Utf8Shape shape{0, 0xFF};
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        std::uint32_t cp = n == 1 ? c : c & (0xFF >> (n + 1));
        for (int k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3F);
        if (cp > 0xFFFF) shape.max_char = 0x10FFFF;
        else if (cp > 0xFF && shape.max_char < 0xFFFF) shape.max_char = 0xFFFF;
        ++shape.chars;
        i += static_cast<std::size_t>(n);
    }
    return shape;
}

// Every value as one token, containers after their contents: the order in
// which a sink is handed them.
struct RecordingSink {
    std::string out;
    long stop_at = -1;  // the event that returns false; -1: none
    long events = 0;

    bool note(const std::string& token) {
        out += token;
        out += ' ';
        return events++ != stop_at;
    }
    bool literal(json::Kind k) { return note(k == json::Kind::Null ? "n" : k == json::Kind::True ? "t" : "f"); }
    bool unsigned_int(std::uint64_t v) { return note("u" + std::to_string(v)); }
    bool negative_int(std::int64_t v) { return note("i" + std::to_string(v)); }
    bool floating(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        return note("d" + std::to_string(bits));
    }
    bool big_int(std::string_view literal) { return note("B" + std::string(literal)); }
    bool string(std::string_view bytes, bool ascii) { return note("s" + std::string(bytes) + (ascii ? "/a" : "/u")); }
    // A string handed over as its characters: written down as its UTF-8,
    // so that a wrong count, width or character shows as another string.
    bool units(const void* units, json::Utf8Shape shape) {
        std::string utf8;
        for (std::size_t i = 0; i < shape.chars; ++i) {
            std::uint32_t c;
            switch (json::unit_width(shape.max_char)) {
                case 1: c = static_cast<const std::uint8_t*>(units)[i]; break;
                case 2: c = static_cast<const std::uint16_t*>(units)[i]; break;
                default: c = static_cast<const std::uint32_t*>(units)[i]; break;
            }
            json::append_utf8(utf8, c);
        }
        // The width is the least that holds the largest character.
        const json::Utf8Shape want = decoded_shape(utf8);
        if (want.max_char != shape.max_char) return note("BAD-WIDTH");
        return string(utf8, false);
    }
    bool key(std::string_view bytes, bool ascii) { return note("k" + std::string(bytes) + (ascii ? "/a" : "/u")); }
    // A numbered key is written down as a plain one while its id keeps to
    // the rule: the next number for a key not met before, its own number
    // for one that was.
    std::vector<std::string> ids;
    bool numbered_key(std::uint32_t id, std::string_view bytes, bool ascii) {
        if (id == ids.size()) ids.emplace_back(bytes);
        else if (id > ids.size() || ids[id] != bytes) return note("BAD-ID");
        return key(bytes, ascii);
    }
    bool close_array(std::size_t n) { return note("A" + std::to_string(n)); }
    bool close_object(std::size_t n) { return note("O" + std::to_string(n)); }
};

// The same tokens from a document read onto a tape.
inline void record(json::Value v, RecordingSink& sink) {
    switch (v.kind()) {
        case json::Kind::Null:
        case json::Kind::False:
        case json::Kind::True: sink.literal(v.kind()); break;
        case json::Kind::Unsigned: sink.unsigned_int(v.as_unsigned()); break;
        case json::Kind::Negative: sink.negative_int(v.as_negative()); break;
        case json::Kind::Float: sink.floating(v.as_float()); break;
        case json::Kind::BigInt: sink.big_int(v.str()); break;
        case json::Kind::String: sink.string(v.str(), v.is_ascii()); break;
        case json::Kind::Array:
            for (json::Value e : v.elements()) record(e, sink);
            sink.close_array(v.size());
            break;
        case json::Kind::Object:
            for (json::Member m : v.members()) {
                sink.key(m.key, m.key_ascii);
                record(m.value, sink);
            }
            sink.close_object(v.size());
            break;
    }
}

inline std::string random_text(std::mt19937_64& rng, int depth) {
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    static const char* const kStrings[] = {"a", "", "\\u00e9x", "\\u0061", "b\\\"", "tab\\tand\\n", "\xc3\xa9",
                                           "\\ud83d\\ude00", "long_key_with_a_tail_past_sixteen", "\\\\",
                                           "\xe6\x97\xa5\xe6\x9c\xac", "\xf0\x9f\x98\x80 x"};
    static const char* const kNumbers[] = {"0", "-0", "-0.0", "7", "-7", "18446744073709551615",
                                           "18446744073709551616", "-9223372036854775809", "1e3", "2.5E-3",
                                           "-65.613616999999977", "123456789012345678901234567890"};
    std::size_t choice = pick(depth < 4 ? 6 : 3);
    if (choice == 0) return kNumbers[pick(std::size(kNumbers))];
    if (choice == 1) return pick(2) ? "null" : (pick(2) ? "true" : "false");
    if (choice == 2) return std::string("\"") + kStrings[pick(std::size(kStrings))] + "\"";
    if (choice == 3) {
        std::string out = "[";
        for (std::size_t i = 0, n = pick(5); i < n; ++i) out += (i ? ", " : "") + random_text(rng, depth + 1);
        return out + "]";
    }
    std::string out = "{";
    for (std::size_t i = 0, n = pick(8); i < n; ++i)
        out += std::string(i ? ",\n " : "") + "\"" + kStrings[pick(std::size(kStrings))] + "\": " +
               random_text(rng, depth + 1);
    return out + "}";
}

inline std::string outcome_of(const std::optional<json::JsonParseError>& e) {
    if (!e) return "ok";
    return std::to_string(static_cast<int>(e->syntax)) + " at " + std::to_string(e->line) + ":" +
           std::to_string(e->column) + " offset " + std::to_string(e->offset) + (e->interrupted ? " stopped" : "");
}

inline void mutate(std::mt19937_64& rng, std::string& text) {
    static const char kBytes[] = "{}[],:\"\\ 0-1e.E+tnfu\x01";
    if (text.empty()) return;
    std::size_t at = rng() % text.size();
    switch (rng() % 3) {
        case 0: text.erase(at, 1); break;
        case 1: text.insert(at, 1, text[at]); break;
        default: text[at] = kBytes[rng() % (sizeof kBytes - 1)]; break;
    }
}


}  // namespace qvtok::test
