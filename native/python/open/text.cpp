#include "python/open/text.hpp"

#include <algorithm>
#include <cstring>

#include "core/json/reader.hpp"
#include "core/json/utf8.hpp"
#include "core/json/whitespace.hpp"

namespace qvtok::open {
namespace {

using json::is_json_space;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool ends_with_lower(std::string_view name, std::string_view tail) {
    if (name.size() < tail.size()) return false;
    std::string_view end = name.substr(name.size() - tail.size());
    for (std::size_t i = 0; i < tail.size(); ++i)
        if (lower(end[i]) != tail[i]) return false;
    return true;
}

constexpr std::size_t kSniffBlock = 65536;
// How much of the input is looked at: the first line of nearly every JSONL
// file fits, and opening a one-line document of any size holds no more.
constexpr std::size_t kLook = 1 << 20;

// Why the bytes looked for were not found.
enum class Stop : std::uint8_t { End, LookFull };

// Reads one more block onto `prefix`, within the look; the Stop when there
// is nothing more to read or no room left to read it into.
Expected<std::optional<Stop>, records::IoError> grow(records::ByteReader& reader, std::string& prefix) {
    if (prefix.size() >= kLook) return std::optional<Stop>(Stop::LookFull);
    std::size_t had = prefix.size();
    std::size_t want = std::min(kSniffBlock, kLook - had);
    prefix.resize(had + want);
    auto got = reader.read(prefix.data() + had, want);
    if (!got) {
        prefix.resize(had);
        return got.error();
    }
    prefix.resize(had + got.value());
    if (got.value() == 0) return std::optional<Stop>(Stop::End);
    return std::optional<Stop>();
}

// The first byte at or after `from` that is not JSON white space, reading on
// within the look as needed; or why there is none.
struct Significant {
    std::size_t at = std::string_view::npos;
    Stop stop = Stop::End;
};

Expected<Significant, records::IoError> significant(records::ByteReader& reader, std::string& prefix,
                                                    std::size_t from) {
    for (;;) {
        while (from < prefix.size() && is_json_space(prefix[from])) ++from;
        if (from < prefix.size()) return Significant{from, Stop::End};
        auto more = grow(reader, prefix);
        if (!more) return more.error();
        if (more.value()) return Significant{std::string_view::npos, *more.value()};
    }
}

// Where the JSON value that starts `text` ends, judged by its structure
// alone (strings, escapes and the depth of brackets), or nothing when it
// does not end within `text`. A value that is no string, object or array
// ends at the first white space or structural byte.
std::optional<std::size_t> value_end(std::string_view text) {
    const char first = text[0];
    if (first != '{' && first != '[' && first != '"') {
        for (std::size_t i = 0; i < text.size(); ++i)
            if (is_json_space(text[i]) || std::string_view(",:[]{}\"").find(text[i]) != std::string_view::npos)
                return i == 0 ? 1 : i;
        return std::nullopt;
    }
    std::size_t depth = 0;
    bool in_string = false, escaped = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
                if (depth == 0) return i + 1;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (--depth == 0) return i + 1;
        }
    }
    return std::nullopt;
}

// Whether `text` is one JSON value; bytes that are not UTF-8 make a broken
// record, not a broken shape, so they are replaced before it is judged.
bool is_one_value(std::string_view text) {
    std::string copy(text);
    json::repair_utf8(copy);
    return json::read_json_text(std::move(copy)).ok();
}

// The first line starts at `start` and goes on past the look. JSONL only
// when a whole value ends within the look and nothing but white space
// follows it there: a later record may still follow on another line. A
// value that does not end within the look is one document: reading it as
// such holds none of it.
records::RecordFormat judge_long_line(std::string_view look) {
    using records::RecordFormat;
    std::optional<std::size_t> end = value_end(look);
    if (!end) return RecordFormat::Json;
    for (std::size_t i = *end; i < look.size(); ++i)
        if (!is_json_space(look[i])) return RecordFormat::Json;
    return is_one_value(look.substr(0, *end)) ? RecordFormat::Jsonl : RecordFormat::Json;
}

}  // namespace

std::optional<records::RecordFormat> format_by_name(std::string_view name) {
    if (ends_with_lower(name, ".json")) return records::RecordFormat::Json;
    if (ends_with_lower(name, ".jsonl") || ends_with_lower(name, ".ndjson")) return records::RecordFormat::Jsonl;
    return std::nullopt;
}

Expected<records::RecordFormat, records::IoError> sniff_format(records::ByteReader& reader, std::string& prefix) {
    using records::RecordFormat;
    auto first = significant(reader, prefix, 0);
    if (!first) return first.error();
    // Nothing, or more white space than the look, before the first value:
    // one document either way.
    const std::size_t start = first.value().at;
    if (start == std::string_view::npos || prefix[start] == '[') return RecordFormat::Json;

    std::size_t end;
    for (std::size_t searched = start;;) {
        const void* lf = std::memchr(prefix.data() + searched, '\n', prefix.size() - searched);
        if (lf != nullptr) {
            end = static_cast<std::size_t>(static_cast<const char*>(lf) - prefix.data());
            break;
        }
        searched = prefix.size();
        auto more = grow(reader, prefix);
        if (!more) return more.error();
        if (!more.value()) continue;
        // One line and nothing after it: one document either way.
        if (*more.value() == Stop::End) return RecordFormat::Json;
        return judge_long_line(std::string_view(prefix).substr(start));
    }
    if (!is_one_value(std::string_view(prefix).substr(start, end - start))) return RecordFormat::Json;
    auto next = significant(reader, prefix, end + 1);
    if (!next) return next.error();
    if (next.value().at != std::string_view::npos) return RecordFormat::Jsonl;
    // A value and only white space to the end is one document. White space
    // that goes on past the look may have a record after it, which only
    // JSONL reads; a lone value reads the same either way.
    return next.value().stop == Stop::End ? RecordFormat::Json : RecordFormat::Jsonl;
}

}  // namespace qvtok::open
