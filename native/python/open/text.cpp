#include "python/open/text.hpp"

#include <cstring>

#include "core/json/reader.hpp"
#include "core/json/utf8.hpp"

namespace qvtok::open {
namespace {

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool ends_with_lower(std::string_view name, std::string_view tail) {
    if (name.size() < tail.size()) return false;
    std::string_view end = name.substr(name.size() - tail.size());
    for (std::size_t i = 0; i < tail.size(); ++i)
        if (lower(end[i]) != tail[i]) return false;
    return true;
}

constexpr std::size_t kSniffBlock = 65536;

// Reads one more block onto `prefix`; false at the end.
Expected<bool, records::IoError> grow(records::ByteReader& reader, std::string& prefix) {
    std::size_t had = prefix.size();
    prefix.resize(had + kSniffBlock);
    auto got = reader.read(prefix.data() + had, kSniffBlock);
    if (!got) {
        prefix.resize(had);
        return got.error();
    }
    prefix.resize(had + got.value());
    return got.value() != 0;
}

// The first byte at or after `from` that is not JSON white space, reading on
// as needed; npos at the end.
Expected<std::size_t, records::IoError> significant(records::ByteReader& reader, std::string& prefix,
                                                    std::size_t from) {
    for (;;) {
        while (from < prefix.size() && is_json_space(prefix[from])) ++from;
        if (from < prefix.size()) return from;
        auto more = grow(reader, prefix);
        if (!more) return more.error();
        if (!more.value()) return std::string_view::npos;
    }
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
    std::size_t start = first.value();
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
        // One line and nothing after it: one document either way.
        if (!more.value()) return RecordFormat::Json;
    }
    // Bytes that are not UTF-8 make the line a broken record, not a broken
    // shape: judge the shape with them replaced.
    std::string line(prefix.data() + start, end - start);
    json::repair_utf8(line);
    if (!json::read_json_text(std::move(line))) return RecordFormat::Json;
    auto next = significant(reader, prefix, end + 1);
    if (!next) return next.error();
    return next.value() == std::string_view::npos ? RecordFormat::Json : RecordFormat::Jsonl;
}

}  // namespace qvtok::open
