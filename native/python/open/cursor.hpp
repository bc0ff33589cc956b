// One pass over the records of a Records object, with its counters and the
// errors it kept.
#pragma once

#include <memory>

#include "core/records/partition.hpp"
#include "core/records/slot_pipe.hpp"
#include "python/gil.hpp"
#include "python/open/open.hpp"
#include "python/values/to_python.hpp"
#include "python/values/value_builder.hpp"

namespace qvtok::open {

// How many errors a pass keeps; it counts them all.
inline constexpr Py_ssize_t kKeptErrors = 1000;

// What open() settled, shared by every pass.
struct Settings {
    Source source;
    records::RecordFormat format;
    std::optional<records::Pointer> at;
    bool skip;  // on_error="skip"
    // The deepest nesting a record may have (open's max_depth).
    unsigned max_depth = json::kOpenNestingLimit;
    // One partition of the file at source's path, instead of all of it.
    std::optional<records::PartitionPlan> part;
};

class Cursor {
public:
    // A new pass over the records as `rules` read them. Raises what opening
    // raises. `skip` overrides the Records' on_error for this pass.
    static Expected<std::unique_ptr<Cursor>, CallError> start(Settings& settings, records::StreamRules rules,
                                                              std::optional<bool> skip = std::nullopt);
    // qvtok.open's rules, for a pass that reads its records to `output`:
    // values as Python's json reads them (keys in document order, big
    // integers exact), and nothing accepted that json refuses.
    static records::StreamRules rules(records::Output output);

    // The next record (Kind::Record), or nullopt at the end. A record error
    // is raised as qvtok.JSONDecodeError, or kept and passed over when the
    // pass skips; the pass can go on after either where the stream can.
    Expected<std::optional<records::Slot>, CallError> next();

    // Counts `error` as a record error and raises or keeps it as next() does:
    // Done when it is kept.
    Expected<Done, CallError> record_error(Error error);

    // A partition whose first line is not known counts lines from its own
    // start: errors then give their place within the record.
    bool lines_known = true;
    // Set while the pass runs with the GIL let go: next() takes it back to
    // raise or keep an error.
    GilRelease* free = nullptr;
    // Whether the pass may let the GIL go: its reads do not call Python.
    bool may_release() const { return stream.readable_off_thread(); }
    // Gives a record's document back for the stream to reuse.
    void recycle(json::Document&& doc);
    // From here on, records read on this thread become values straight
    // from their text, without a document: for passes that want values.
    void build_values();
    // The value of a record next() handed out, by whichever way it was
    // read; a document goes back to the stream.
    PyResult value_of(records::Slot& slot);
    // The stream's progress after the last record handed out (bytes of the
    // input, before any decompression).
    std::uint64_t bytes_done() const;

    records::RecordStream stream;
    values::SharedKeyConverter converter;  // one per pass: keys shared across its records
    bool size_known;
    bool skip;
    std::uint64_t records_read = 0;
    std::uint64_t error_count = 0;
    PyRef errors;  // list of the first `keep` JSONDecodeError objects
    // Borrowed: the file object the stream reads, held by its reader; NULL
    // for a path or standard input. For the garbage collector.
    PyObject* file = nullptr;
    Py_ssize_t keep = kKeptErrors;

    Cursor(records::RecordStream s, bool known, bool skips, PyRef list)
        : stream(std::move(s)), size_known(known), skip(skips), errors(std::move(list)) {}

private:
    void read_ahead();

    // Reads and parses `stream` on a thread of its own, ahead of the pass,
    // once it has handed out a record when ahead_pending_.
    bool ahead_pending_ = false;
    std::unique_ptr<records::SlotPipe> ahead_;
    std::uint64_t progress_ = 0;  // with ahead_: bytes_done()
    // Shares the converter's keys: declared after it, so gone before it.
    std::unique_ptr<values::PyValueBuilder> builder_;
};

// The raw text of a record slot (never empty: blank slots hold no record).
std::string_view raw_text(const records::Slot& slot);

// RecordsIterator over a pass. `mode` is what each step yields.
// What a pass hands out: values, (key, value) pairs, raw texts as they stand
// in the file, or texts checked by parsing and compacted to one line.
enum class Yield : std::uint8_t { Values, Items, Raw, Compact };
PyResult new_iterator(std::unique_ptr<Cursor> cursor, Yield mode, bool keyed);
PyObject* iterator_type();

}  // namespace qvtok::open
