// Records one at a time from a JSON or JSONL file, in constant memory: the
// record stream behind iter_records and load, and the element scanner that it
// shares with the schema sampler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/json/reader.hpp"
#include "core/json/value.hpp"
#include "core/error.hpp"
#include "core/records/format.hpp"
#include "core/records/lines.hpp"
#include "core/simd/kernels.hpp"
#include "core/records/source.hpp"

namespace qvtok::records {

// Splits a JSON document into the texts of its records: the elements of a
// top-level array, or the whole document when its first significant byte is
// not "[". Whitespace before that byte is skipped; everything else, up to a
// comma or the closing bracket at depth 1, belongs to the element text.
class ElementScanner {
public:
    enum class Shape : std::uint8_t {
        Unknown,  // only whitespace so far
        Array,
        Single,
    };
    enum class Event : std::uint8_t {
        NeedMore,   // every byte was taken; the element goes on
        Separator,  // a comma at depth 1 ended the element
        Closed,     // the closing bracket of the array ended the element and the array
    };

    // Takes bytes from the front of `bytes` and reports how many in `used`:
    // all of them for NeedMore, up to and including the separator otherwise.
    // Nothing may be fed after Closed.
    Event feed(std::string_view bytes, std::size_t& used);

    Shape shape() const { return shape_; }

    // The gathered text, which starts afresh.
    std::string take_text() { return std::exchange(text_, std::string()); }

private:
    simd::ArrayState state_;
    Shape shape_ = Shape::Unknown;
    std::string text_;
};

// Reads one gathered text as a record: ill-formed UTF-8 is replaced by
// U+FFFD, White_Space is trimmed from both ends, and a text left empty is no
// record (nullopt). Error positions count within the trimmed text.
Expected<std::optional<json::Document>, json::JsonParseError> parse_element(std::string text,
                                                                           json::ReaderScratch& scratch);

class RecordStream {
public:
    // Size of the blocks read in JSON mode; bytes_read grows by one block at a time.
    static constexpr std::size_t kBlockSize = 65536;

    // Fails as RecordSource::open does.
    static Expected<RecordStream> open(std::string_view path, RecordFormat format, SignalPoll poll);
    // Reads on from a file opened elsewhere.
    static RecordStream adopt(RecordSource source, RecordFormat format);
    // The read buffer a source for this format should have.
    static std::size_t buffer_size(RecordFormat format);

    RecordStream(RecordStream&&) noexcept = default;
    RecordStream& operator=(RecordStream&&) noexcept = default;

    // The next record, nullopt at the end, or an error after which the stream
    // can go on. JSON: ValueError "invalid JSON element: ..." for an element
    // (or a single document) that is not one JSON value; ValueError
    // "invalid JSON: EOF while parsing a list ..." when the file ends before
    // the top-level array is closed, after which the stream has ended;
    // RuntimeError "read error: ..." when a read fails. JSONL: as
    // next_jsonl_record. A signal handler that raised ends the call with
    // ErrorClass::Pending; the next call goes on where this one stopped.
    RecordResult next();

    // Hands back a record whose values are no longer needed, so that the
    // next one reuses its storage.
    void recycle(json::Document&& record) { scratch_.recycle(std::move(record)); }

    std::uint64_t bytes_read() const { return bytes_read_; }
    std::uint64_t total_bytes() const { return total_bytes_; }

private:
    RecordStream(RecordSource source, RecordFormat format, std::uint64_t total_bytes);
    RecordResult next_json();
    RecordResult end_of_file();
    void note_line_feeds();

    RecordSource source_;
    RecordFormat format_;
    std::uint64_t bytes_read_ = 0;
    std::uint64_t total_bytes_ = 0;
    json::ReaderScratch scratch_;

    // JSONL mode only: a line that a failed read cut short.
    std::string unfinished_line_;

    // JSON mode only.
    std::unique_ptr<char[]> block_;
    std::size_t block_filled_ = 0;
    std::size_t block_pos_ = 0;
    ElementScanner scanner_;
    bool finished_ = false;
    // Where the end of the file is, in the reader's terms, should the array
    // never be closed: line feeds so far and bytes since the last one.
    std::uint64_t line_feeds_ = 0;
    std::uint64_t since_line_feed_ = 0;
};

}  // namespace qvtok::records
