// JSONL lines: drawing them from a RecordSource, deciding which are blank, and
// turning a non-blank line into a record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/reader.hpp"
#include "core/json/value.hpp"
#include "core/error.hpp"
#include "core/records/source.hpp"

namespace qvtok::records {

// A good read buffer for sources that are read line by line: large enough
// that the file is read in few calls, small enough to stay in cache.
inline constexpr std::size_t kLineBufferSize = 64 * 1024;

// The text without the Unicode White_Space characters (tab to carriage return,
// space, U+0085, U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F,
// U+205F, U+3000) at either end. A view of the same storage.
std::string_view trim_whitespace(std::string_view text);

// Which white space may stand around a record. bigjson's passes trim
// Unicode's White_Space; qvtok.open takes only JSON's own (space, tab, line
// feed, carriage return), so that a record json.loads would refuse is refused.
enum class SpaceAround : std::uint8_t { WhiteSpace, Json };

// The text without the white space of `rule` at either end.
std::string_view trim_space(std::string_view text, SpaceAround rule);
// Whether a raw byte between records is passed over as space by `rule`:
// JSON's four, or those and the form feed.
bool is_space_between(unsigned char c, SpaceAround rule);

// One record, nullopt at the end, or the error to raise.
using RecordResult = Expected<std::optional<json::Document>>;

// White space at the end of a line's text, held as runs of one byte each
// rather than as bytes: a record may be followed on its line by any amount
// of padding, which is only ever passed over. The runs go into the text when
// something other than white space follows them.
class SpaceRuns {
public:
    bool empty() const { return runs_.empty(); }
    std::size_t runs() const { return runs_.size(); }
    void add(char c, std::uint64_t count);
    // Appends the held bytes to `text`, as they were, and holds none.
    void release_to(std::string& text);
    void clear() { runs_.clear(); }

private:
    struct Run {
        char byte;
        std::uint64_t count;
    };
    std::vector<Run> runs_;
};

// A JSONL line being read, kept across a read that fails inside it so that
// the next call completes it. White space is not kept: that before the
// line's first other byte is only counted, and long white space at the end
// of what was read is held as runs.
struct PartialLine {
    std::string text;           // from the line's first byte that is not white space
    std::uint64_t skipped = 0;  // the bytes before text, all white space
    std::uint64_t length = 0;   // every byte of the line taken so far
    SpaceRuns held;             // white space read after text
    std::size_t space_at_end = 0;  // white space that ends text, counted until it is held
};

// A non-blank JSONL line: the record's text is text[begin, begin + length),
// trimmed of the white space of the pass's SpaceAround rule. The white space
// that starts the line is not in text.
struct JsonlLine {
    std::string text;
    std::size_t begin = 0;
    std::size_t length = 0;
    std::uint64_t offset = 0;   // of text's first byte in the stream
    std::uint64_t skipped = 0;  // bytes of the line before text: it starts at offset - skipped
    std::uint64_t number = 0;   // of the line in the file, from 1
};

// The next non-blank line, nullopt at the end. `bytes_consumed` and
// `lines_consumed` count every line read. Errors, as next_jsonl_record's:
// ReadFailed and InvalidUtf8 (placed at the line's start). What the pass
// holds is the record's text: JSON's white space before it, blank lines and
// long white space after it are passed over as they are read (Unicode's
// White_Space beyond ASCII, which bigjson also trims, is kept as text).
Expected<std::optional<JsonlLine>> next_jsonl_line(RecordSource& source, std::uint64_t& bytes_consumed,
                                                   std::uint64_t& lines_consumed, PartialLine& unfinished,
                                                   SpaceAround space = SpaceAround::WhiteSpace);

// The next record of a JSONL file: blank lines are skipped, the first other
// line is parsed. `bytes_consumed` grows by the length of every line read,
// blank or not, parsed or not, UTF-8 or not, and is the stream offset at
// which errors place a line. Errors: ReadFailed for a failed read,
// InvalidUtf8 for a line that is not UTF-8, InvalidLine for a line that is
// not one JSON value. After an error the next call reads on from the following line;
// a read that fails inside a line leaves the bytes read so far in
// `unfinished`, and the next call completes that line first.
RecordResult next_jsonl_record(RecordSource& source, std::uint64_t& bytes_consumed, PartialLine& unfinished,
                               json::ReaderScratch& scratch);
// The same, counting lines in `lines_consumed`, placing errors in the file by
// line and column, and parsing as `read` says.
RecordResult next_jsonl_record(RecordSource& source, std::uint64_t& bytes_consumed, std::uint64_t& lines_consumed,
                               PartialLine& unfinished, json::ReaderScratch& scratch,
                               const json::ReadOptions& read = {}, SpaceAround space = SpaceAround::WhiteSpace);

}  // namespace qvtok::records
