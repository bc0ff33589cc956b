// Records one at a time from a JSON or JSONL file, in constant memory: the
// one record pipeline that iteration, load and schema sampling draw from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/error.hpp"
#include "core/json/reader.hpp"
#include "core/json/value.hpp"
#include "core/json/value_builder.hpp"
#include "core/records/fault_place.hpp"
#include "core/records/format.hpp"
#include "core/records/lines.hpp"
#include "core/records/pointer.hpp"
#include "core/records/source.hpp"
#include "core/simd/kernels.hpp"

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
        Broken,     // a byte that no valid element can hold here (a closer of the
                    // wrong kind, a raw control byte in a string) ended the element;
                    // it is the last byte of the text, and the array cannot be followed on
    };

    // Takes bytes from the front of `bytes` and reports how many in `used`:
    // all of them for NeedMore, up to and including the stopping byte
    // otherwise. Nothing may be fed after Closed or Broken.
    Event feed(std::string_view bytes, std::size_t& used);

    // Which bytes before the document are passed over as space.
    void set_space(SpaceAround space) { space_ = space; }

    Shape shape() const { return shape_; }
    // Bytes fed before the element text began: where it starts in the
    // stream. After an event it names the element just ended, until the next
    // feed.
    std::uint64_t text_start() const { return text_start_; }

    // The gathered text, which starts afresh.
    std::string take_text() { return std::exchange(text_, std::string()); }
    // The text gathered so far of the element that goes on.
    std::string_view text() const { return text_; }
    // Whether the element that just ended was its array's first: only a
    // blank first element that the closer ends is an empty array.
    bool ended_first() const { return ended_first_; }

    // Inside the array, before any byte of an element: a reader may take
    // the element in place, and tell the scanner with passed().
    bool at_element_start() const { return shape_ == Shape::Array && text_.empty(); }
    // An element was taken in place, and with it the comma after it: the
    // next element's text starts at stream offset `next`.
    void passed(std::uint64_t next) {
        fed_ = next;
        text_start_ = next;
        ended_first_ = std::exchange(first_, false);
    }

    // Ready to take, from stream offset `at`, the elements of an array
    // entered before: `at` is where an element's text starts.
    void resume_in_array(std::uint64_t at) {
        shape_ = Shape::Array;
        fed_ = at;
        text_start_ = at;
        first_ = false;
    }

private:
    simd::ArrayState state_;
    SpaceAround space_ = SpaceAround::WhiteSpace;
    bool first_ = true;
    bool ended_first_ = false;
    Shape shape_ = Shape::Unknown;
    std::string text_;
    std::uint64_t fed_ = 0;
    std::uint64_t text_start_ = 0;
};

// How far a stream reads each record, and what the record's slot carries:
// one choice, so that no mix of settings asks for what no pass does.
enum class Output : std::uint8_t {
    Raw,      // its exact text, not parsed: counting, raw(), planning cuts
    Check,    // parsed and checked as the reader would read it, nothing kept: validation
    Compact,  // checked, and its text without the white space between tokens: compact(), to_jsonl
    Value,    // its value: a document on the slot, or the value the stream's builder holds
};

// What a reader of records may pass over: the one place where the tolerances
// of the different operations are chosen.
struct StreamRules {
    // Text after the closing bracket of the top-level array is an error.
    bool check_after_array = true;
    // A file that ends inside the top-level array ends the records quietly,
    // its unfinished element dropped, instead of failing.
    bool allow_unclosed_array = false;
    // The error a document that is no array gives when it does not parse.
    ErrorCode broken_document = ErrorCode::InvalidElement;
    // Where the records are in each document (the one of a JSON file, each
    // line of JSONL): the members of the container(s) that the pointer names.
    // Absent: the elements of a top-level array, else the document itself;
    // each JSONL line.
    std::optional<Pointer> at;
    // How far each record is read, and so what its slot carries.
    Output output = Output::Value;
    // True: bytes of an array element that are not UTF-8 are replaced with
    // U+FFFD before it is parsed. False: such an element is an InvalidUtf8
    // error, as a JSONL line that is not UTF-8 always is.
    bool repair_utf8 = true;
    // With Output::Compact: the compact texts are appended here, one after
    // the other, instead of to each slot (a writer saves a copy per record).
    std::string* compact_to = nullptr;
    // How records are parsed.
    json::ReadOptions read;
    // The white space that may stand around a record and the document.
    SpaceAround space = SpaceAround::WhiteSpace;
    // True: a blank element or member (as in "[1,,2]" or "[1,2,]") is the
    // error json.load gives for it, not a slot of its own; only the blank
    // of an empty container stays one.
    bool strict_elements = false;
    // True: an error after which a JSON file can no longer be followed, with
    // bytes left, is followed by a StructureLost error that names them.
    // False: the records end there without a word more.
    bool tell_unchecked = false;
    // JSON: the size of the blocks read, at least 64 KiB. Larger ones cost
    // fewer reads, and hold more elements whole to be read in place.
    std::size_t block_size = 65536;

    bool parses() const { return output != Output::Raw; }
    bool builds() const { return output == Output::Value; }

    // The rules of a schema's sample, which reads no further than it needs:
    // not past the closing bracket, and a file cut off inside the array
    // gives what it has.
    static StreamRules sampling() {
        StreamRules rules;
        rules.check_after_array = false;
        rules.allow_unclosed_array = true;
        rules.broken_document = ErrorCode::InvalidJson;
        return rules;
    }
};

// One step of the stream: a record, a slot that holds none (a blank element
// such as the one in "[1,,2]"), or the end.
struct Slot {
    enum class Kind : std::uint8_t { Record, Blank, End };
    Kind kind;
    std::optional<json::Document> record;  // Value, when no builder took it
    std::string raw;                       // Raw, Compact: the record's bytes, trimmed or compacted
    std::string key;                       // a member of an object: its key, unescaped
    std::uint64_t offset = 0;              // where the record's first byte is in the file
    bool keyed = false;                    // the record is a member of an object (its key may be "")
    bool built = false;                    // the value is the stream's builder's to hand over

    static Slot end() { return Slot{Kind::End, std::nullopt, {}, {}, 0, false}; }
};

// Where a stream that starts inside a file takes up its records: a
// partition.
struct Resume {
    std::uint64_t offset = 0;        // the first byte read: a line's start, or an element's text start
    std::uint64_t first_record = 0;  // the index of the first record, for errors
    // Where `offset` lies in the file (1-based line, column in bytes from
    // 1); line 0 when not known: lines are then counted from the partition.
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    // JSON: `offset` is inside the array that holds the records (the
    // top-level one, or the one the rules' pointer names), which the stream
    // does not walk to; it ends at the array's closing bracket.
    bool in_array = false;
};

// One record, nullopt at the end, or the error to raise.
using RecordResult = Expected<std::optional<json::Document>>;

class RecordStream {
public:
    // Size of the blocks read in JSON mode unless the rules ask for larger
    // ones; bytes_read grows by one block at a time.
    static constexpr std::size_t kBlockSize = 65536;
    // An array element gathered across blocks is checked by the reader each
    // time its text doubles from this size (or twice the longest element
    // before it) on: a fault in it is then told without taking the rest of
    // the file, and the checks cost at most twice the element's length.
    // 4 MiB: records below it, most of those in files, never pay for it.
    static constexpr std::size_t kCheckFrom = std::size_t{4} << 20;

    // Reads from a file opened elsewhere.
    static RecordStream adopt(RecordSource source, RecordFormat format, StreamRules rules = {});
    // Reads from a file opened elsewhere and placed at `resume.offset`.
    static RecordStream resume(RecordSource source, RecordFormat format, StreamRules rules, Resume resume);
    // The read buffer a source for this format should have.
    static std::size_t buffer_size(RecordFormat format);

    // JSON: the records end after the one whose separating comma reaches
    // stream offset `end` (a partition's end, which is a record text's
    // start).
    void stop_at(std::uint64_t end) { stop_at_ = end; }

    RecordStream(RecordStream&&) noexcept = default;
    RecordStream& operator=(RecordStream&&) noexcept = default;

    // The next record, nullopt at the end, or an error. After an error in one
    // record the stream goes on with the next where the structure allows: a
    // JSONL line, or an array element whose brackets balance. JSON errors:
    //  - InvalidElement: an element (or, by default, the single document) is
    //    not one JSON value; positions within the element;
    //  - InvalidElement after which the stream has ended: the element holds
    //    a closer of the wrong kind or a raw control byte inside a string,
    //    after which no later element can be told apart safely;
    //  - InvalidElement for an element whose gathered text has grown past
    //    kCheckFrom and already holds a fault that no later byte can
    //    mend (a quote missing makes the scanner take the rest of the file
    //    for one element); the stream has ended;
    //  - InvalidJson EofList at the end of the file when the array was never
    //    closed, unless the unfinished element has a fault of its own, which
    //    comes instead; InvalidJson TrailingCharacters at the first byte
    //    other than scanner whitespace after it was; positions within the
    //    file; the stream has ended;
    //  - StructureLost, once, after an error that ended the stream with
    //    bytes left that were never checked, when the rules tell them;
    //  - ReadFailed when a read fails.
    // JSONL errors are next_jsonl_record's. Interrupted: a signal handler
    // raised; the next call goes on where this one stopped. Only parsed
    // records are handed out: with Output::Raw, use next_slot().
    RecordResult next();

    // As next(), but a blank element of an array is a step of its own, and
    // the rules' pointer, raw texts and positions are followed: every slot
    // carries its offset, every error its file line and column (where the
    // stream still knows them) and the index of its record. With a pointer,
    // a document in which it names no container gives NoMatch; a JSON file
    // then ends. Faults in the structure around the records are InvalidJson
    // (InvalidLine in JSONL), after which a JSON file ends.
    Expected<Slot> next_slot();

    // Counting: with Output::Raw, passes at once over the array
    // elements ahead in the current block (simd::pass_elements says which),
    // or the whole JSONL lines ahead in the source's buffer, that next_slot
    // would hand out one by one as plain records, and returns how many.
    // Zero where it cannot: next_slot then goes on as ever.
    std::uint64_t pass_elements();

    // Records that the rules build go to `builder` instead of onto a
    // document (nullptr: back to documents); each slot then says whether
    // the builder holds its value. The builder is used on the thread that
    // reads the stream.
    void build_with(json::ValueBuilder* builder) { builder_ = builder; }

    // Hands back a record whose values are no longer needed, so that the
    // next one reuses its storage.
    void recycle(json::Document&& record) { scratch_.recycle(std::move(record)); }

    RecordFormat format() const { return format_; }
    std::uint64_t bytes_read() const { return bytes_read_; }
    // Where the source counts its own way through total_bytes (compressed
    // input), that count; nothing otherwise.
    std::optional<std::uint64_t> progress() const { return source_.progress(); }
    std::optional<codecs::Codec> first_bytes_codec() const { return source_.first_bytes_codec(); }
    bool readable_off_thread() const { return source_.readable_off_thread(); }
    // See RecordSource::detach_interpreter.
    void detach_interpreter() { source_.detach_interpreter(); }
    std::uint64_t total_bytes() const { return total_bytes_; }
    // Records and broken records handed out so far.
    std::uint64_t records_out() const { return records_out_; }
    // JSONL: lines read so far.
    std::uint64_t lines_read() const { return lines_consumed_; }
    // JSON: the stream offset of the next byte to scan; after a record that
    // a comma ended, where the next record's text starts.
    std::uint64_t position() const { return bytes_read_ - block_filled_ + block_pos_; }
    // JSON: whether the last record handed out was ended by a comma.
    bool after_comma() const { return block_pos_ > 0 && block_[block_pos_ - 1] == ','; }

    // A place in the file: 1-based line, and column in bytes from 1; zeros
    // where the stream no longer knows it.
    struct FilePos {
        std::uint64_t line = 0;
        std::uint64_t column = 0;
    };
    // Where stream offset `offset` is in the file: known within the current
    // block (or line), and for the start of the record text read last.
    FilePos locate(std::uint64_t offset) const;

private:
    RecordStream(RecordSource source, RecordFormat format, StreamRules rules, std::uint64_t total_bytes);
    Expected<Slot> next_json_slot();
    // The element at the start of the current block's rest, read where it
    // lies when the block holds all of it and its separator, and it reads
    // cleanly; nullopt otherwise, and nothing is consumed: the scanner's
    // way then gathers it and names its error.
    std::optional<Expected<Slot>> element_in_place();
    // The end of the bytes from block_pos_ on known to be UTF-8.
    std::size_t utf8_checked_to();
    Expected<Slot> next_walk_slot();
    Expected<Slot> next_jsonl_slot();
    // The next step of the walk through the line in line_; nullopt when the
    // line has no more.
    std::optional<Expected<Slot>> walk_line();
    std::uint64_t pass_lines();
    Expected<bool> refill();
    Expected<Slot> end_of_file();
    // The one document of a file that is no array: the rest of the file
    // read straight onto its text, in reads as large as the text's room,
    // instead of block by block through the scanner.
    Expected<Slot> read_single_document();
    Expected<Slot> after_array();
    // The step of a stream whose elements are read: what follows the array,
    // or the end.
    Expected<Slot> past_elements();
    // The error of an array element whose gathered text (from stream
    // offset `start`) is the reader's to judge before the scanner or the
    // walker goes on: at the end of the file, or grown past check_at_.
    // Nullopt when its text so far has no fault that later bytes could
    // not mend.
    std::optional<Error> gathered_fault(std::string_view text, std::uint64_t start, bool at_end);
    // Judges the gathered text once it has grown past check_at_.
    std::optional<Error> check_growth(std::string_view text, std::uint64_t start);
    // A record text of `length` bytes was gathered whole: the next is
    // checked from a size that follows the largest so far.
    void gathered(std::size_t length);
    // The stream ends with `error`; the bytes after its place that no
    // record was read from are told by the next call as StructureLost.
    Error lose_structure(Error error);
    // The slot of a gathered record text that starts at stream offset
    // `start`: its members's key split off when `member`, parsed by the
    // rules, and a failure to parse as an error of `code`.
    Expected<Slot> make_slot(std::string text, std::uint64_t start, bool member, ErrorCode code);
    Error element_error(std::string text, std::uint64_t start, ErrorCode code, bool member);
    // The error of a record whose text starts at stream offset `start` and
    // whose value, after the white space `lead`, did not read: the next
    // record's error.
    Error record_fault(const json::JsonParseError& fault, ErrorCode code, std::uint64_t start,
                       std::string_view lead);
    // Under strict_elements, a Blank `slot` that is not an empty container
    // (the first element, ended by the closer) becomes an error at its
    // separator, at stream offset `separator`.
    Expected<Slot> refuse_blank(Expected<Slot> slot, bool first, bool by_comma, std::uint64_t separator,
                                ErrorCode code);
    Error no_match(std::uint64_t document_start);
    // The reader's error at stream offset `offset`, with the file's line and
    // column; the byte must lie in the current block or be its end.
    Error file_error(json::Syntax syntax, std::uint64_t offset) const;
    // The error of an array that the file ends in, whose unfinished
    // element `text` starts at stream offset `start`.
    Error unclosed_array(std::string_view text, std::uint64_t start);
    // An element's reader error as json, reading the whole array, tells it.
    static void as_element(Error& error);
    // Whether the records are one document, the file's only value.
    bool whole_document() const;
    // A document's fault at the end of its `length` bytes, moved past the
    // white space `trail` that follows them to the end of the file.
    void to_text_end(json::JsonParseError& fault, std::size_t length, std::string_view trail) const;
    // Where the byte after `prefix` is, for a text that starts at `start`.
    FilePos locate_after(std::uint64_t start, std::string_view prefix) const;
    // Where the record text that is being gathered started, if one is.
    std::optional<std::uint64_t> open_text_start() const;
    // Sets the error's file position, where json places it, from its place
    // within a piece of text that starts at file position `piece`.
    static void place(Error& error, FilePos piece);

    RecordSource source_;
    RecordFormat format_;
    StreamRules rules_;
    std::uint64_t bytes_read_ = 0;
    std::uint64_t total_bytes_ = 0;
    json::ReaderScratch scratch_;
    json::ValueBuilder* builder_ = nullptr;
    // Records and broken records handed out: the index of the next.
    std::uint64_t records_out_ = 0;
    // Records at a pointer: the walk through each document.
    std::optional<PointerWalker> walker_;

    // JSONL mode only: a line that a failed read cut short, lines read, and
    // the line being walked for records at a pointer.
    PartialLine unfinished_line_;
    std::uint64_t lines_consumed_ = 0;
    std::optional<JsonlLine> line_;
    std::size_t line_pos_ = 0;
    std::uint64_t line_number_ = 0;
    std::uint64_t line_offset_ = 0;

    // JSON mode only.
    std::unique_ptr<char[]> block_;
    std::size_t block_filled_ = 0;
    std::size_t block_pos_ = 0;
    static constexpr std::size_t kNotChecked = ~std::size_t{0};
    std::size_t utf8_checked_to_ = kNotChecked;
    ElementScanner scanner_;
    // Where elements read in place are compacted: as large as a block,
    // made at the first.
    std::unique_ptr<char[]> compacted_;
    // The single document's text while it is read, kept across an
    // interrupted read.
    std::string single_;
    bool reading_single_ = false;
    enum class Phase : std::uint8_t { Elements, AfterArray, Finished } phase_ = Phase::Elements;
    // Line feeds before the current block, and bytes since the last of them:
    // what file positions are counted from.
    std::uint64_t line_feeds_ = 0;
    std::uint64_t since_line_feed_ = 0;
    // The place of a record text's start that lay in a block read before.
    std::uint64_t resolved_offset_ = ~0ull;
    FilePos resolved_pos_;
    // Where the document starts, once the walk has found it.
    FilePos document_pos_;
    std::optional<std::uint64_t> stop_at_;
    // The gathered size of an open element at which the reader checks it
    // next, and the longest element text gathered whole.
    std::size_t check_at_ = kCheckFrom;
    std::size_t largest_gathered_ = 0;
    // The StructureLost notice due after the error that ended the stream.
    std::optional<Error> lost_;
    // The stream offset where the input ends, 0 when not known.
    std::uint64_t known_end_ = 0;
};

// The records of a stream, in order, to `take`, until `sample` of them have
// been taken, the records end, or an error other than those the stream's
// rules pass over. The limit is looked at after each step, so on a JSON
// document a sample of 0 still takes the first slot. `take` returns false
// when its interruption check stopped it: the draw then ends as
// Interrupted.
template <class Take>
Expected<Done> draw_sample(RecordStream& stream, std::uint64_t sample, Take&& take) {
    const bool json = stream.format() == RecordFormat::Json;
    std::uint64_t taken = 0;
    // A JSONL line is one slot, so there the test comes first: a sample of 0
    // reads nothing.
    while (json || taken < sample) {
        auto slot = stream.next_slot();
        if (!slot) return std::move(slot).error();
        if (slot.value().kind == Slot::Kind::End) break;
        if (slot.value().record) {
            if (!take(*slot.value().record)) return Error::of(ErrorCode::Interrupted);
            stream.recycle(std::move(*slot.value().record));
            ++taken;
        }
        if (json && taken >= sample) break;
    }
    return Done{};
}

}  // namespace qvtok::records
