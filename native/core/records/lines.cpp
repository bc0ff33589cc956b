#include "core/records/lines.hpp"

#include <cstring>
#include <utility>

#include "core/json/reader.hpp"
#include "core/json/whitespace.hpp"
#include "core/records/fault_place.hpp"
#include "core/json/utf8.hpp"

namespace qvtok::records {

namespace {

bool is_white_space(char32_t cp) {
    if (cp <= 0x20) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
    if (cp < 0x85) return false;
    if (cp <= 0xA0) return cp == 0x85 || cp == 0xA0;
    if (cp < 0x1680) return false;
    if (cp <= 0x200A) return cp == 0x1680 || cp >= 0x2000;
    return cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// The character that starts at s[i], as (code point, length); length 0 when
// the bytes there are not one well-formed character.
struct Decoded {
    char32_t cp;
    std::size_t len;
};

Decoded decode(std::string_view s, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) return {b0, 1};
    json::Utf8Lead lead = json::utf8_lead(b0);
    if (lead.continuations < 0) return {0, 0};
    std::size_t len = static_cast<std::size_t>(lead.continuations) + 1;
    if (s.size() - i < len) return {0, 0};
    // The lead's payload bits: 5, 4 or 3 of them for 2, 3 or 4 bytes.
    char32_t cp = b0 & (0x7F >> len);
    unsigned char lo = lead.lo, hi = lead.hi;
    for (std::size_t k = 1; k < len; ++k) {
        unsigned char b = byte(i + k);
        if (b < lo || b > hi) return {0, 0};
        cp = (cp << 6) | (b & 0x3F);
        lo = 0x80;
        hi = 0xBF;
    }
    return {cp, len};
}

}  // namespace

std::string_view trim_whitespace(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        Decoded d = decode(text, begin);
        if (d.len == 0 || !is_white_space(d.cp)) break;
        begin += d.len;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back over at most three continuation bytes to the lead byte.
        std::size_t start = end - 1;
        while (start > begin && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
            --start;
        Decoded d = decode(text.substr(0, end), start);
        if (d.len != end - start || !is_white_space(d.cp)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::string_view trim_space(std::string_view text, SpaceAround rule) {
    if (rule == SpaceAround::WhiteSpace) return trim_whitespace(text);
    std::size_t begin = 0, end = text.size();
    while (begin < end && json::is_json_space(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && json::is_json_space(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

bool is_space_between(unsigned char c, SpaceAround rule) {
    return rule == SpaceAround::Json ? json::is_json_space(c) : json::is_scanner_space(c);
}

void SpaceRuns::add(char c, std::uint64_t count) {
    if (!runs_.empty() && runs_.back().byte == c) {
        runs_.back().count += count;
    } else {
        runs_.push_back(Run{c, count});
    }
}

void SpaceRuns::release_to(std::string& text) {
    for (const Run& run : runs_) text.append(static_cast<std::size_t>(run.count), run.byte);
    runs_.clear();
}

namespace {

// The white space that a line may start or end with and that is passed over
// unkept: JSON's own but the line feed, which ends the line. Both rules trim
// these bytes.
bool is_line_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// How many bytes at the start of data[0, n) are `c`, eight at a time: padding
// is long runs of one byte.
std::size_t run_length(const char* data, std::size_t n, char c) {
    const std::uint64_t all = 0x0101010101010101ull * static_cast<unsigned char>(c);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        if (word != all) break;
    }
    while (i < n && data[i] == c) ++i;
    return i;
}

// The length of the white space that starts `bytes`, handing each run of one
// byte to `take`.
template <class Take>
std::size_t pass_space(std::string_view bytes, Take&& take) {
    std::size_t i = 0;
    while (i < bytes.size() && is_line_space(bytes[i])) {
        std::size_t n = run_length(bytes.data() + i, bytes.size() - i, bytes[i]);
        take(bytes[i], n);
        i += n;
    }
    return i;
}

// White space at the end of a line's text is held as runs from this length
// on: a shorter stretch costs less to copy than to look at again.
constexpr std::size_t kHoldSpaceFrom = kLineBufferSize;
// Held white space that changes its byte this often goes back into the text,
// where a run would take more room than its bytes.
constexpr std::size_t kMostHeldRuns = 1024;

// Counts the white space that `part`, just added to the line's text, leaves
// at its end, and moves it into the line's held runs once there is enough
// of it to be worth it. Only `part` is looked at: a record read in small
// pieces is not looked at again piece after piece.
void hold_trailing_space(PartialLine& line, std::string_view part) {
    std::size_t start = part.size();
    while (start > 0 && is_line_space(part[start - 1])) --start;
    line.space_at_end = start == 0 ? line.space_at_end + part.size() : part.size() - start;
    if (line.space_at_end < kHoldSpaceFrom) return;
    std::string& text = line.text;
    const std::size_t from = text.size() - line.space_at_end;
    pass_space(std::string_view(text).substr(from), [&](char c, std::size_t n) { line.held.add(c, n); });
    text.resize(from);
    line.space_at_end = 0;
}

// Reads the rest of the line into `line`, up to and including the next line
// feed, or to the end of the file; a failed read stops early and is handed
// back. White space before the line's first other byte is counted, not
// kept, and white space after it is held as runs until more text follows.
std::optional<IoError> read_line(RecordSource& source, PartialLine& line) {
    for (bool first = true;; first = false) {
        // A line that spans many buffers is a long wait: let Ctrl-C in.
        if (!first && source.interrupted()) return IoError::interrupted();
        auto filled = source.fill();
        if (!filled) return filled.error();
        std::string_view bytes = filled.value();
        if (bytes.empty()) return std::nullopt;
        const void* lf = std::memchr(bytes.data(), '\n', bytes.size());
        std::size_t take =
            lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - bytes.data()) + 1 : bytes.size();
        source.consume(take);
        line.length += take;
        std::string_view part = bytes.substr(0, take);
        if (line.text.empty() && is_line_space(part.front())) {
            std::size_t lead = pass_space(part, [](char, std::size_t) {});
            line.skipped += lead;
            part.remove_prefix(lead);
        } else if (!line.held.empty()) {
            part.remove_prefix(pass_space(part, [&](char c, std::size_t n) { line.held.add(c, n); }));
            if (line.held.runs() > kMostHeldRuns) {
                // Such white space takes less room as bytes; what is
                // released here is not counted to be held again at once.
                line.held.release_to(line.text);
                line.space_at_end = 0;
            }
        }
        // The line feed after white space ends the line without it.
        if (!part.empty() && part.front() == '\n') return std::nullopt;
        if (part.empty()) continue;
        if (!line.held.empty()) line.held.release_to(line.text);
        line.text.append(part);
        if (lf != nullptr) return std::nullopt;
        hold_trailing_space(line, part);
    }
}

}  // namespace

Expected<std::optional<JsonlLine>> next_jsonl_line(RecordSource& source, std::uint64_t& bytes_consumed,
                                                   std::uint64_t& lines_consumed, PartialLine& unfinished,
                                                   SpaceAround space) {
    // A long run of blank lines is a long wait too.
    constexpr unsigned kBlankLinesBetweenPolls = 4096;
    unsigned blank = 0;
    for (;;) {
        // A read that fails leaves what the line has so far in `unfinished`:
        // the next call finishes it instead of taking its rest for a line
        // of its own.
        if (std::optional<IoError> failure = read_line(source, unfinished)) return failure->to_error();
        // The line is taken whole: `unfinished` starts the next one.
        std::string text = std::move(unfinished.text);
        unfinished.text.clear();
        const std::uint64_t length = std::exchange(unfinished.length, 0);
        const std::uint64_t skipped = std::exchange(unfinished.skipped, 0);
        unfinished.space_at_end = 0;
        if (!unfinished.held.empty()) unfinished.held.clear();
        if (length == 0) return std::optional<JsonlLine>();
        const std::uint64_t line_offset = bytes_consumed;
        bytes_consumed += length;
        const std::uint64_t number = ++lines_consumed;
        // The bytes left out of the text are ASCII: the text alone decides.
        if (!json::is_valid_utf8(text)) {
            Error error = IoError::utf8().to_error();
            error.offset = line_offset;
            error.file_line = number;
            error.file_column = 1;
            return error;
        }
        std::string_view trimmed = trim_space(text, space);
        if (trimmed.empty()) {
            if (++blank == kBlankLinesBetweenPolls) {
                blank = 0;
                if (source.interrupted()) return Error::of(ErrorCode::Interrupted);
            }
            continue;
        }
        JsonlLine out;
        out.begin = static_cast<std::size_t>(trimmed.data() - text.data());
        out.length = trimmed.size();
        out.offset = line_offset + skipped;
        out.skipped = skipped;
        out.number = number;
        out.text = std::move(text);
        return std::optional<JsonlLine>(std::move(out));
    }
}

RecordResult next_jsonl_record(RecordSource& source, std::uint64_t& bytes_consumed, PartialLine& unfinished,
                               json::ReaderScratch& scratch) {
    std::uint64_t lines = 0;
    return next_jsonl_record(source, bytes_consumed, lines, unfinished, scratch);
}

RecordResult next_jsonl_record(RecordSource& source, std::uint64_t& bytes_consumed, std::uint64_t& lines_consumed,
                               PartialLine& unfinished, json::ReaderScratch& scratch, const json::ReadOptions& read,
                               SpaceAround space) {
    auto line = next_jsonl_line(source, bytes_consumed, lines_consumed, unfinished, space);
    if (!line) return std::move(line).error();
    if (!line.value()) return std::optional<json::Document>();
    JsonlLine& l = *line.value();
    auto doc = json::read_json_text(std::move(l.text), l.begin, l.length, scratch, read);
    if (!doc) {
        Error error = json::syntax_error(ErrorCode::InvalidLine, doc.error(), l.offset + l.begin);
        // A line holds no line feed before its end: the place is on it.
        const PiecePlace at = json_place(error);
        error.file_line = l.number;
        error.file_column = l.skipped + l.begin + at.column;
        return error;
    }
    return std::optional<json::Document>(std::move(doc).value());
}

}  // namespace qvtok::records
