// JSONL lines: drawing them from a RecordSource, deciding which are blank, and
// turning a non-blank line into a record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// Appends the next line, line feed included, to `text` and returns its length
// in bytes; 0 at the end of the file. A line that is not UTF-8 is taken back
// out of `text` and reported as IoError::utf8(); its bytes stay consumed, so
// the next call reads the line after it. A failed read ends the line early.
Expected<std::size_t, IoError> read_line(RecordSource& source, std::string& text);

// The next line without its line feed and without a carriage return just
// before that line feed; nullopt at the end of the file.
Expected<std::optional<std::string>, IoError> next_line(RecordSource& source);

// One record, nullopt at the end, or the error to raise.
using RecordResult = Expected<std::optional<json::Document>>;

// The next record of a JSONL file: blank lines are skipped, the first other
// line is parsed. `bytes_consumed` grows by the length of every line read,
// blank or not, parsed or not, except lines that are not UTF-8. Errors:
// RuntimeError "read error: ..." for failed reads and lines that are not
// UTF-8, ValueError "invalid JSONL line: ..." for a line that is not one
// JSON value. After an error the next call reads on from the following line;
// a read that fails inside a line leaves the bytes read so far in
// `unfinished`, and the next call completes that line first.
RecordResult next_jsonl_record(RecordSource& source, std::uint64_t& bytes_consumed, std::string& unfinished,
                               json::ReaderScratch& scratch);

}  // namespace qvtok::records
