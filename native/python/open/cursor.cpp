#include "python/open/cursor.hpp"

#include <system_error>

#include "core/threads/budget.hpp"
#include "core/threads/core_watch.hpp"
#include "python/gil.hpp"
#include "python/int_digits.hpp"

namespace qvtok::open {
namespace {

// Files from this size on are read ahead when values are built.
constexpr std::uint64_t kReadAheadFrom = 1 << 20;

// Whether a pass that builds values reads its records on a thread of its
// own: worth it for a file with many records, and possible only for a
// source read without the interpreter. A compressed one already
// decompresses on a thread; its reader waits through the interpreter.
bool reads_ahead(const Settings& settings, const records::StreamRules& rules, const records::ByteReader& reader,
                 bool size_known) {
    return rules.builds() && !settings.source.codec && size_known && reader.readable_off_thread() &&
           reader.size() >= kReadAheadFrom && threads::allowed() > 1 && threads::second_core_free();
}

}  // namespace

records::StreamRules Cursor::rules(records::Output output) {
    records::StreamRules rules;
    rules.output = output;
    rules.read.key_order = json::KeyOrder::Document;
    rules.read.exact_integers = true;
    rules.read.trailing_comma_at_comma = compat::kJsonNamesTrailingComma;
    rules.repair_utf8 = false;
    rules.strict_elements = true;
    // What json.loads refuses around a document, qvtok.open refuses
    // around a record.
    rules.space = records::SpaceAround::Json;
    // Nothing is left unread without a word.
    rules.tell_unchecked = true;
    // Fewer reads, and more elements read in place, than the 64 KiB blocks
    // of bigjson's passes, whose progress counts in those.
    rules.block_size = 256 << 10;
    return rules;
}

Expected<std::unique_ptr<Cursor>, CallError> Cursor::start(Settings& settings, records::StreamRules rules,
                                                          std::optional<bool> skip) {
    PyRef errors(PyList_New(0));
    if (!errors) return CallError::fetch();
    rules.at = settings.at;
    rules.read.max_depth = settings.max_depth;
    if (rules.builds()) {
        // An integer that int() would refuse is the fault of its record,
        // found where it stands, not a bare ValueError from the conversion.
        auto limit = int_digit_limit();
        if (!limit) return std::move(limit).error();
        rules.read.max_int_digits = limit.value();
    }
    if (settings.part) {
        const records::PartitionPlan& part = *settings.part;
        auto stream = open_part_stream(settings.source, settings.format, rules, part);
        if (!stream) return std::move(stream).error();
        auto cursor = std::make_unique<Cursor>(std::move(stream).value(), true, skip.value_or(settings.skip),
                                               std::move(errors));
        cursor->lines_known = part.resume.offset == 0 || part.resume.line != 0;
        return cursor;
    }
    auto opened = take_reader(settings.source);
    if (!opened) return std::move(opened).error();
    const bool ahead = reads_ahead(settings, rules, *opened.value().reader, opened.value().size_known);
    records::RecordSource source(std::move(opened.value().reader), interpreter_hooks(),
                                 records::RecordStream::buffer_size(settings.format));
    auto cursor = std::make_unique<Cursor>(records::RecordStream::adopt(std::move(source), settings.format, rules),
                                           opened.value().size_known, skip.value_or(settings.skip), std::move(errors));
    cursor->ahead_pending_ = ahead;
    cursor->file = opened.value().file;
    return cursor;
}

void Cursor::read_ahead() {
    ahead_pending_ = false;
    // The stream is read on another thread from here on: it must not reach
    // the interpreter, whose signals the pass's waits look after, nor build
    // the interpreter's objects; it reads records onto documents.
    stream.detach_interpreter();
    stream.build_with(nullptr);
    try {
        ahead_ = std::make_unique<records::SlotPipe>(
            stream, [](const Error& e) { return is_record_error(e.code); }, interpreter_hooks());
    } catch (const std::system_error&) {
        // No thread to be had: the pass reads on this one, as it would
        // have; only without letting the GIL go around its reads.
        stream.build_with(builder_.get());
    }
}

void Cursor::build_values() {
    builder_ = std::make_unique<values::PyValueBuilder>(converter.keys(), converter.ints());
    if (!ahead_) stream.build_with(builder_.get());
}

PyResult Cursor::value_of(records::Slot& slot) {
    if (slot.built) return builder_->take();
    if (!slot.record) panic("a parsed pass gave a record without its value");
    PyResult value = converter.convert(slot.record->root());
    recycle(std::move(*slot.record));
    return value;
}

void Cursor::recycle(json::Document&& doc) {
    if (ahead_) ahead_->recycle(std::move(doc));
    else stream.recycle(std::move(doc));
}

std::uint64_t Cursor::bytes_done() const {
    if (ahead_) return progress_;
    return stream.progress().value_or(stream.bytes_read());
}

Expected<Done, CallError> Cursor::record_error(Error error) {
    // The bytes that a lost structure left unread are no record: they are
    // told, and kept past the limit, but not counted.
    const bool lost = error.code == ErrorCode::StructureLost;
    // Counted over records and broken records alike, as the stream counts.
    if (error.record == 0 && !lost) error.record = records_read + error_count;
    if (!lines_known) error.file_line = error.file_column = 0;
    if (!lost) ++error_count;
    auto exc = decode_error(error);
    if (!exc) return std::move(exc).error();
    if (!skip) return CallError::captured(std::move(exc).value());
    if ((lost || PyList_GET_SIZE(errors.get()) < keep) && PyList_Append(errors.get(), exc.value().get()) < 0)
        return CallError::fetch();
    return Done{};
}

Expected<std::optional<records::Slot>, CallError> Cursor::next() {
    // The first record is read on this thread: a file of one document
    // (one large object) gains nothing from another thread, and its values
    // are built fastest from memory this core has just written.
    if (ahead_pending_ && records_read + error_count > 0) read_ahead();
    for (;;) {
        auto slot = ahead_ ? ahead_->next(progress_) : stream.next_slot();
        if (ahead_ && ahead_->finished() && builder_) {
            // The stream is this thread's again: values from the text.
            stream.build_with(builder_.get());
        }
        if (!slot) {
            if (free != nullptr) free->hold();
            Error error = std::move(slot).error();
            if (!is_record_error(error.code)) return input_error(std::move(error));
            auto kept = record_error(std::move(error));
            if (!kept) return std::move(kept).error();
            if (free != nullptr) free->release();
            continue;
        }
        switch (slot.value().kind) {
            case records::Slot::Kind::End: return std::optional<records::Slot>();
            case records::Slot::Kind::Blank: continue;
            case records::Slot::Kind::Record: break;
        }
        ++records_read;
        return std::optional<records::Slot>(std::move(slot).value());
    }
}

std::string_view raw_text(const records::Slot& slot) {
    // A record's text holds at least one byte; an empty one means the stream
    // did not hand out raw text, and writing it would lose the record.
    if (slot.raw.empty()) panic("a record came without its raw text");
    return slot.raw;
}

}  // namespace qvtok::open
