#include "core/records/stream.hpp"

#include <string.h>

#include <algorithm>
#include <utility>

#include "core/json/utf8.hpp"
#include "core/json/whitespace.hpp"

namespace qvtok::records {

ElementScanner::Event ElementScanner::feed(std::string_view bytes, std::size_t& used) {
    std::size_t i = 0;
    if (shape_ == Shape::Unknown) {
        while (i < bytes.size() && is_space_between(static_cast<unsigned char>(bytes[i]), space_)) ++i;
        if (i == bytes.size()) {
            used = i;
            fed_ += i;
            return Event::NeedMore;
        }
        if (bytes[i] == '[') {
            shape_ = Shape::Array;
            ++i;  // the bracket belongs to no element
        } else {
            shape_ = Shape::Single;
        }
        text_start_ = fed_ + i;
    }
    if (shape_ == Shape::Single) {
        text_.append(bytes.data() + i, bytes.size() - i);
        used = bytes.size();
        fed_ += used;
        return Event::NeedMore;
    }
    if (text_.empty()) text_start_ = fed_ + i;
    std::size_t rest = bytes.size() - i;
    simd::Found found = simd::find_separator(bytes.data() + i, rest, state_);
    Event event = Event::NeedMore;
    switch (found.stop) {
        case simd::Stop::More: break;
        case simd::Stop::Comma:
            event = Event::Separator;
            ended_first_ = std::exchange(first_, false);
            break;
        case simd::Stop::Close:
            event = Event::Closed;
            ended_first_ = first_;
            break;
        case simd::Stop::Mismatch:
        case simd::Stop::Control:
            // The offending byte ends the text, so that the reader names it.
            text_.append(bytes.data() + i, found.offset + 1);
            used = i + found.offset + 1;
            fed_ += used;
            return Event::Broken;
    }
    text_.append(bytes.data() + i, found.offset);
    used = event == Event::NeedMore ? bytes.size() : i + found.offset + 1;
    fed_ += used;
    // text_start() names this element until the next one begins, at the
    // next feed.
    return event;
}

namespace {

// Where a piece of text for the reader starts and ends within a gathered
// element: the rules' white space at either end is no part of it, except that a broken
// element keeps its last byte, which is the one at fault.
struct Piece {
    std::size_t begin;
    std::size_t length;
};

Piece trimmed_piece(const std::string& text, bool keep_end, SpaceAround space) {
    std::string_view trimmed = trim_space(text, space);
    std::size_t begin = static_cast<std::size_t>(trimmed.data() - text.data());
    std::size_t end = keep_end && begin < text.size() ? text.size() : begin + trimmed.size();
    return Piece{begin, end - begin};
}

}  // namespace

std::size_t RecordStream::buffer_size(RecordFormat format) {
    // JSON blocks are read straight into the stream's own block; only lines
    // go through the source's buffer.
    return format == RecordFormat::Jsonl ? kLineBufferSize : RecordSource::kBufferSize;
}

RecordStream RecordStream::adopt(RecordSource source, RecordFormat format, StreamRules rules) {
    std::uint64_t size = source.file_size();
    const bool size_is_bytes = !source.progress();
    RecordStream stream(std::move(source), format, rules, size);
    if (size_is_bytes) stream.known_end_ = size;
    return stream;
}

RecordStream RecordStream::resume(RecordSource source, RecordFormat format, StreamRules rules, Resume resume) {
    std::uint64_t size = source.file_size();
    if (resume.in_array && format == RecordFormat::Json) {
        // The walk to the array was done by whoever placed the stream; what
        // follows the array is theirs too, unless it is the top-level one.
        if (rules.at && !rules.at->segments.empty()) rules.check_after_array = false;
        rules.at.reset();
    }
    RecordStream stream(std::move(source), format, rules, size);
    // A part of a file, read from where it starts.
    stream.known_end_ = resume.offset + size;
    stream.bytes_read_ = resume.offset;
    stream.records_out_ = resume.first_record;
    if (resume.line != 0) {
        stream.lines_consumed_ = resume.line - 1;
        stream.line_feeds_ = resume.line - 1;
        stream.since_line_feed_ = resume.column - 1;
    }
    if (resume.in_array && format == RecordFormat::Json) stream.scanner_.resume_in_array(resume.offset);
    return stream;
}

RecordStream::RecordStream(RecordSource source, RecordFormat format, StreamRules rules,
                           std::uint64_t total_bytes)
    : source_(std::move(source)), format_(format), rules_(rules), total_bytes_(total_bytes) {
    rules_.block_size = std::max(rules_.block_size, kBlockSize);
    if (format_ == RecordFormat::Json) block_.reset(new char[rules_.block_size]);
    // An empty pointer names the document itself: the same as none.
    if (rules_.at && !rules_.at->segments.empty()) walker_.emplace(*rules_.at);
    scanner_.set_space(rules_.space);
}

namespace {

bool default_jsonl(const StreamRules& rules, bool walking) { return rules.parses() && !walking; }

// Line feeds in a text, and the bytes after the last of them.
struct Span {
    std::uint64_t line_feeds = 0;
    std::uint64_t tail = 0;
};

Span span_of(std::string_view bytes) {
    Span span;
    span.line_feeds = static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    std::size_t last = bytes.rfind('\n');
    span.tail = last == std::string_view::npos ? bytes.size() : bytes.size() - last - 1;
    return span;
}

}  // namespace

RecordResult RecordStream::next() {
    if (format_ == RecordFormat::Jsonl && default_jsonl(rules_, walker_.has_value())) {
        auto record = next_jsonl_record(source_, bytes_read_, lines_consumed_, unfinished_line_, scratch_, rules_.read,
                                        rules_.space);
        if (!record) {
            Error& error = record.error();
            if (error.code == ErrorCode::InvalidLine || error.code == ErrorCode::InvalidUtf8)
                error.record = records_out_++;
        } else if (record.value()) {
            ++records_out_;
        }
        return record;
    }
    for (;;) {
        auto slot = next_slot();
        if (!slot) return std::move(slot).error();
        switch (slot.value().kind) {
            case Slot::Kind::Record:
                if (slot.value().record) return std::move(slot.value().record);
                break;  // a raw record: next() hands out parsed ones only
            case Slot::Kind::End: return std::optional<json::Document>();
            case Slot::Kind::Blank: break;
        }
    }
}

Expected<Slot> RecordStream::next_slot() {
    if (format_ == RecordFormat::Jsonl) return next_jsonl_slot();
    return walker_ ? next_walk_slot() : next_json_slot();
}

RecordStream::FilePos RecordStream::locate(std::uint64_t offset) const {
    if (format_ == RecordFormat::Jsonl) {
        // Within a line: its only line feed is its last byte.
        if (offset < line_offset_) return {};
        return FilePos{line_number_, offset - line_offset_ + 1};
    }
    std::uint64_t block_start = bytes_read_ - block_filled_;
    if (offset >= block_start && offset <= bytes_read_) {
        std::size_t in_block = static_cast<std::size_t>(offset - block_start);
        const char* block = block_.get();
        std::uint64_t line_feeds = line_feeds_ + simd::count_line_feeds(block, in_block);
        const void* last = in_block == 0 ? nullptr : ::memrchr(block, '\n', in_block);
        std::uint64_t since = last == nullptr
                                  ? since_line_feed_ + in_block
                                  : in_block - static_cast<std::size_t>(static_cast<const char*>(last) - block) - 1;
        return FilePos{line_feeds + 1, since + 1};
    }
    if (offset == resolved_offset_) return resolved_pos_;
    return {};
}

RecordStream::FilePos RecordStream::locate_after(std::uint64_t start, std::string_view prefix) const {
    FilePos p = locate(start);
    if (p.line == 0) return p;
    Span before = span_of(prefix);
    p.column = before.line_feeds ? before.tail + 1 : p.column + before.tail;
    p.line += before.line_feeds;
    return p;
}

std::optional<std::uint64_t> RecordStream::open_text_start() const {
    if (walker_) {
        if (walker_->gathering()) return walker_->text_start();
        return std::nullopt;
    }
    if (scanner_.shape() == ElementScanner::Shape::Unknown) return std::nullopt;
    return scanner_.text_start();
}

void RecordStream::place(Error& error, FilePos piece) {
    const PiecePlace at = json_place(error);
    if (piece.line == 0) return;
    error.file_line = piece.line + at.line - 1;
    error.file_column = at.line <= 1 ? piece.column + at.column - 1 : at.column;
}

Expected<bool> RecordStream::refill() {
    if (source_.interrupted()) return Error::of(ErrorCode::Interrupted);
    // A record text that started in this block may end in a later one: keep
    // its place while the block can still tell it.
    if (std::optional<std::uint64_t> start = open_text_start()) {
        if (*start >= bytes_read_ - block_filled_ && *start < bytes_read_ && *start != resolved_offset_) {
            resolved_pos_ = locate(*start);
            resolved_offset_ = *start;
        }
    }
    // The position counters move past the block that is done with.
    const char* block = block_.get();
    if (const void* last = ::memrchr(block, '\n', block_filled_)) {
        line_feeds_ += simd::count_line_feeds(block, block_filled_);
        since_line_feed_ = block_filled_ - static_cast<std::size_t>(static_cast<const char*>(last) - block) - 1;
    } else {
        since_line_feed_ += block_filled_;
    }
    auto got = source_.read(block_.get(), rules_.block_size);
    block_filled_ = 0;
    block_pos_ = 0;
    utf8_checked_to_ = kNotChecked;
    if (!got) return got.error().to_error();
    block_filled_ = got.value();
    bytes_read_ += block_filled_;
    return block_filled_ != 0;
}

Expected<Slot> RecordStream::make_slot(std::string text, std::uint64_t start, bool member, ErrorCode code) {
    const bool parse = rules_.parses();
    // A builder may start on a text while its UTF-8 is checked here; a
    // text that is not built after all is taken back from it before the
    // text goes.
    struct Started {
        json::ValueBuilder* builder = nullptr;
        ~Started() {
            if (builder != nullptr) builder->abandon();
        }
    } started;
    if (rules_.builds() && builder_ != nullptr && !member && !rules_.repair_utf8) {
        Piece piece = trimmed_piece(text, false, rules_.space);
        if (piece.length != 0) {
            builder_->begin(std::string_view(text).substr(piece.begin, piece.length), rules_.read);
            started.builder = builder_;
        }
    }
    if (parse && rules_.repair_utf8) {
        json::repair_utf8(text);
    } else if (parse && !json::is_valid_utf8(text)) {
        std::size_t bad = simd::valid_utf8_prefix(text.data(), text.size());
        Error error = Error::of(ErrorCode::InvalidUtf8);
        error.offset = start + bad;
        FilePos p = locate_after(start, std::string_view(text).substr(0, bad));
        error.file_line = p.line;
        error.file_column = p.column;
        error.record = records_out_++;
        return error;
    }
    Slot slot{Slot::Kind::Record, std::nullopt, {}, {}, 0, false};
    std::size_t value_begin = 0;
    if (member) {
        if (trim_space(text, rules_.space).empty()) {
            slot.kind = Slot::Kind::Blank;
            slot.offset = start;
            return slot;
        }
        MemberSplit split = split_member(text);
        if (!split.ok || trim_space(std::string_view(text).substr(split.value_begin), rules_.space).empty()) {
            // The member is no `"key": value`: name the byte at fault, by
            // line and column within the member's text.
            std::size_t at = split.ok ? text.size() : split.value_begin;
            Piece piece = trimmed_piece(text, false, rules_.space);
            std::size_t from = std::min(piece.begin, at);
            Span inside = span_of(std::string_view(text).substr(from, at - from));
            Error error = Error::of(code);
            error.syntax = split.ok ? json::Syntax::ExpectedValue : split.fault;
            error.json_fault = json::json_fault_for(error.syntax);
            error.offset = start + at;
            error.line = inside.line_feeds + 1;
            error.column = inside.tail + (at < text.size() ? 1 : 0);
            const FilePos p = locate_after(start, std::string_view(text).substr(0, at));
            error.file_line = p.line;
            error.file_column = p.column;
            error.record = records_out_++;
            return error;
        }
        slot.key = std::move(split.key);
        slot.keyed = true;
        value_begin = split.value_begin;
    }
    Piece piece = trimmed_piece(text, false, rules_.space);
    if (value_begin != 0) {
        std::string_view value = trim_space(std::string_view(text).substr(value_begin), rules_.space);
        piece = Piece{static_cast<std::size_t>(value.data() - text.data()), value.size()};
    }
    if (piece.length == 0) {
        slot.kind = Slot::Kind::Blank;
        slot.offset = start;
        return slot;
    }
    slot.offset = start + piece.begin;
    if (!parse) {
        text.resize(piece.begin + piece.length);
        text.erase(0, piece.begin);
        slot.raw = std::move(text);
        ++records_out_;
        return slot;
    }
    if (!rules_.builds()) {
        std::string_view body = std::string_view(text).substr(piece.begin, piece.length);
        std::string& compact_out = rules_.compact_to != nullptr ? *rules_.compact_to : slot.raw;
        auto fault = rules_.output == Output::Compact ? json::compact_json_text(body, compact_out, rules_.read)
                                                      : json::check_json_text(body, rules_.read);
        if (fault) {
            to_text_end(*fault, piece.length, std::string_view(text).substr(piece.begin + piece.length));
            return record_fault(*fault, code, start, std::string_view(text).substr(0, piece.begin));
        }
        ++records_out_;
        return slot;
    }
    if (builder_ != nullptr) {
        auto fault = builder_->build(std::string_view(text).substr(piece.begin, piece.length), rules_.read);
        if (fault && fault->interrupted) return Error::of(ErrorCode::Interrupted);
        if (fault) to_text_end(*fault, piece.length, std::string_view(text).substr(piece.begin + piece.length));
        if (fault)
            return record_fault(*fault, code, start, std::string_view(text).substr(0, piece.begin));
        ++records_out_;
        slot.built = true;
        return slot;
    }
    // The white space before the piece, kept for placing an error: the reader
    // takes the text, and finding the place of every record would count the
    // block's line feeds once per record.
    std::string lead(text, 0, piece.begin);
    std::string trail;
    if (whole_document()) trail.assign(text, piece.begin + piece.length);
    auto doc = json::read_json_text(std::move(text), piece.begin, piece.length, scratch_, rules_.read);
    if (!doc) {
        to_text_end(doc.error(), piece.length, trail);
        return record_fault(doc.error(), code, start, lead);
    }
    ++records_out_;
    slot.record = std::move(doc).value();
    return slot;
}

Error RecordStream::record_fault(const json::JsonParseError& fault, ErrorCode code, std::uint64_t start,
                                 std::string_view lead) {
    Error error = json::syntax_error(code, fault, start + lead.size());
    // Elements of an array: the top-level one's, or the members a pointer
    // names (whose records are never whole documents).
    if (walker_ || (code == ErrorCode::InvalidElement && scanner_.shape() == ElementScanner::Shape::Array))
        as_element(error);
    place(error, locate_after(start, lead));
    error.record = records_out_++;
    return error;
}

bool RecordStream::whole_document() const {
    return format_ == RecordFormat::Json && !walker_ && scanner_.shape() != ElementScanner::Shape::Array;
}

void RecordStream::to_text_end(json::JsonParseError& fault, std::size_t length, std::string_view trail) const {
    // A document is read without the white space after it, which json
    // reads: the end that json names is past that.
    if (!whole_document() || fault.json_line == 0 || fault.json_offset != length) return;
    for (char c : trail) {
        fault.json_column = c == '\n' ? 1 : fault.json_column + 1;
        fault.json_line += c == '\n' ? 1 : 0;
    }
    fault.json_offset += trail.size();
}

void RecordStream::as_element(Error& error) {
    // Read whole, json finds the element's extra bytes where the comma
    // after it was due.
    if (error.json_fault == json::JsonFault::ExtraData) error.json_fault = json::JsonFault::ExpectingDelimiter;
}

Expected<Slot> RecordStream::past_elements() {
    if (phase_ == Phase::AfterArray) return after_array();
    // The error a lost structure left comes before the end.
    if (lost_) return std::exchange(lost_, std::nullopt).value();
    return Slot::end();
}

Expected<Slot> RecordStream::next_json_slot() {
    for (;;) {
        if (phase_ != Phase::Elements) return past_elements();
        if (reading_single_) return read_single_document();
        if (block_pos_ == block_filled_) {
            auto more = refill();
            if (!more) return std::move(more).error();
            if (!more.value()) return end_of_file();
        }
        if (rules_.parses() && scanner_.at_element_start()) {
            if (std::optional<Expected<Slot>> slot = element_in_place()) return std::move(*slot);
        }
        std::size_t used = 0;
        auto event =
            scanner_.feed(std::string_view(block_.get() + block_pos_, block_filled_ - block_pos_), used);
        block_pos_ += used;
        switch (event) {
            case ElementScanner::Event::NeedMore:
                if (scanner_.shape() == ElementScanner::Shape::Single) return read_single_document();
                // A quote too few or too many turns the scanner's idea of
                // what is string inside out, and it would take the rest of
                // the file for this element: the reader looks at it as it
                // grows, and its fault ends the gathering.
                if (std::optional<Error> fault = check_growth(scanner_.text(), scanner_.text_start()))
                    return lose_structure(std::move(*fault));
                continue;
            case ElementScanner::Event::Separator:
                if (stop_at_ && position() >= *stop_at_) phase_ = Phase::Finished;
                break;
            case ElementScanner::Event::Closed: phase_ = Phase::AfterArray; break;
            case ElementScanner::Event::Broken:
                return lose_structure(
                    element_error(scanner_.take_text(), scanner_.text_start(), ErrorCode::InvalidElement, false));
        }
        std::uint64_t start = scanner_.text_start();
        std::string text = scanner_.take_text();
        gathered(text.size());
        if (phase_ == Phase::AfterArray && !rules_.check_after_array) phase_ = Phase::Finished;
        std::uint64_t separator = start + text.size();
        return refuse_blank(make_slot(std::move(text), start, false, ErrorCode::InvalidElement), scanner_.ended_first(),
                            event == ElementScanner::Event::Separator, separator, ErrorCode::InvalidElement);
    }
}

std::uint64_t RecordStream::pass_elements() {
    if (rules_.parses()) return 0;
    if (format_ == RecordFormat::Jsonl) return pass_lines();
    // A partition's end is watched element by element.
    if (phase_ != Phase::Elements || stop_at_ || reading_single_ || block_pos_ == block_filled_) return 0;
    const bool walking = walker_.has_value();
    if (walking ? !walker_->at_array_member_start() : !scanner_.at_element_start()) return 0;
    std::uint64_t passed = 0;
    std::size_t used = simd::pass_elements(block_.get() + block_pos_, block_filled_ - block_pos_, passed);
    if (passed == 0) return 0;
    block_pos_ += used;
    if (walking) {
        walker_->passed(used);
    } else {
        scanner_.passed(position());
    }
    records_out_ += passed;
    return passed;
}

std::uint64_t RecordStream::pass_lines() {
    // Whole lines only, from a line's start: a line cut by the buffer's end,
    // or one at a pointer, is next_slot's.
    if (walker_ || unfinished_line_.length != 0) return 0;
    auto filled = source_.fill();
    if (!filled) return 0;  // next_slot reports it
    const std::string_view bytes = filled.value();
    const void* last = memrchr(bytes.data(), '\n', bytes.size());
    if (last == nullptr) return 0;
    std::size_t whole = static_cast<std::size_t>(static_cast<const char*>(last) - bytes.data()) + 1;
    auto count = [&](std::size_t n) {
        simd::LineState state;
        state.json_space = rules_.space == SpaceAround::Json;
        state.count_line_feeds = true;
        return std::pair{simd::count_lines(bytes.data(), n, state), state};
    };
    auto [checked, state] = count(whole);
    if (checked != whole) {
        // The line that is not UTF-8 is next_slot's to report, with its
        // place: the lines before it are passed.
        const void* before = memrchr(bytes.data(), '\n', checked);
        if (before == nullptr) return 0;
        whole = static_cast<std::size_t>(static_cast<const char*>(before) - bytes.data()) + 1;
        state = count(whole).second;
    }
    source_.consume(whole);
    bytes_read_ += whole;
    lines_consumed_ += state.line_feeds;
    records_out_ += state.lines;
    return state.lines;
}

namespace {

// Whether a value read at the front of `rest` is an element taken whole:
// its separator follows it, and its bytes are UTF-8.
bool valid_in_place(std::string_view rest, const json::FrontValue& front) {
    const char separator = rest[front.next];
    return (separator == ',' || separator == ']') &&
           json::is_valid_utf8(rest.substr(front.value_begin, front.value_end - front.value_begin));
}

}  // namespace

std::size_t RecordStream::utf8_checked_to() {
    // Once per block, and again only past a byte that is not UTF-8.
    if (utf8_checked_to_ == kNotChecked || utf8_checked_to_ < block_pos_)
        utf8_checked_to_ = block_pos_ + simd::valid_utf8_prefix(block_.get() + block_pos_, block_filled_ - block_pos_);
    return utf8_checked_to_;
}

std::optional<Expected<Slot>> RecordStream::element_in_place() {
    const std::string_view rest(block_.get() + block_pos_, block_filled_ - block_pos_);
    Slot slot{Slot::Kind::Record, std::nullopt, {}, {}, 0, false};
    const bool compact = rules_.output == Output::Compact;
    std::optional<json::FrontValue> front;
    std::size_t written = 0;  // compacting: the bytes in compacted_
    if (rules_.builds() && builder_ != nullptr) {
        // A builder makes strings of the bytes as it reads them: it is
        // handed only what is known to be UTF-8.
        auto built = builder_->build_front(rest.substr(0, utf8_checked_to() - block_pos_), rules_.read);
        if (built.failed) return Expected<Slot>(Error::of(ErrorCode::Interrupted));
        front = built.front;
        slot.built = front.has_value();
    } else if (rules_.builds()) {
        json::Document doc;
        front = json::read_json_front(rest, scratch_, rules_.read, doc);
        if (front) slot.record = std::move(doc);
    } else if (compact) {
        if (!compacted_) compacted_.reset(new char[rules_.block_size]);
        front = json::compact_json_front(rest, compacted_.get(), written, rules_.read);
    } else {
        front = json::check_json_front(rest, rules_.read);
    }
    if (!front || !valid_in_place(rest, *front)) {
        if (slot.record) scratch_.recycle(std::move(*slot.record));
        if (slot.built) builder_->drop();
        return std::nullopt;
    }
    const char separator = rest[front->next];
    slot.offset = position() + front->value_begin;
    if (compact) (rules_.compact_to != nullptr ? *rules_.compact_to : slot.raw).append(compacted_.get(), written);
    block_pos_ += front->next + 1;
    scanner_.passed(position());
    ++records_out_;
    if (separator == ']') {
        phase_ = rules_.check_after_array ? Phase::AfterArray : Phase::Finished;
    } else if (stop_at_ && position() >= *stop_at_) {
        phase_ = Phase::Finished;
    }
    return slot;
}

Expected<Slot> RecordStream::next_walk_slot() {
    for (;;) {
        if (phase_ != Phase::Elements) return past_elements();
        PointerWalker::Event event;
        if (block_pos_ == block_filled_) {
            auto more = refill();
            if (!more) return std::move(more).error();
        }
        if (block_filled_ == 0) {
            bool inside = walker_->gathering();
            event = walker_->finish();
            phase_ = Phase::Finished;
            if (event == PointerWalker::Event::Done && !walker_->started()) return Slot::end();
            // As for a top-level array: a cut inside the named container
            // drops its unfinished member when the rules allow.
            if (event == PointerWalker::Event::Fault && inside && rules_.allow_unclosed_array)
                return Slot::end();
            // An unfinished member's own fault comes before the cut.
            if (event == PointerWalker::Event::Fault && inside && !walker_->in_object()) {
                if (std::optional<Error> fault = gathered_fault(walker_->text(), walker_->text_start(), true))
                    return lose_structure(std::move(*fault));
                return unclosed_array(walker_->text(), walker_->text_start());
            }
        } else {
            std::size_t used = 0;
            event = walker_->feed(std::string_view(block_.get() + block_pos_, block_filled_ - block_pos_), used);
            block_pos_ += used;
            // The document's place, for an error that names the whole of it,
            // while its block is at hand.
            if (document_pos_.line == 0 && walker_->started()) document_pos_ = locate(walker_->document_start());
        }
        switch (event) {
            case PointerWalker::Event::NeedMore:
                // As for a top-level array's elements: a quote out of
                // place must not make one member of the rest of the file.
                if (walker_->gathering() && !walker_->in_object()) {
                    if (std::optional<Error> fault = check_growth(walker_->text(), walker_->text_start()))
                        return lose_structure(std::move(*fault));
                }
                continue;
            case PointerWalker::Event::Member: {
                std::uint64_t start = walker_->text_start();
                if (stop_at_ && position() >= *stop_at_ && after_comma()) phase_ = Phase::Finished;
                std::string text = walker_->take_text();
                gathered(text.size());
                std::uint64_t separator = start + text.size();
                return refuse_blank(make_slot(std::move(text), start, walker_->in_object(), ErrorCode::InvalidElement),
                                    walker_->member_first(), walker_->member_by_comma(), separator,
                                    ErrorCode::InvalidElement);
            }
            case PointerWalker::Event::Broken:
                return lose_structure(element_error(walker_->take_text(), walker_->text_start(),
                                                    ErrorCode::InvalidElement, walker_->in_object()));
            case PointerWalker::Event::Fault:
                return lose_structure(file_error(walker_->fault(), walker_->fault_offset()));
            case PointerWalker::Event::Done:
                if (walker_->containers() == 0) {
                    phase_ = Phase::Finished;
                    return no_match(walker_->document_start());
                }
                if (phase_ != Phase::Finished) phase_ = rules_.check_after_array ? Phase::AfterArray : Phase::Finished;
                continue;
        }
    }
}

Error RecordStream::no_match(std::uint64_t document_start) {
    Error error = Error::of(ErrorCode::NoMatch);
    error.subject = rules_.at->text;
    error.column = walker_->matched();
    error.offset = document_start;
    FilePos p = format_ == RecordFormat::Json ? document_pos_ : locate(document_start);
    error.file_line = p.line;
    error.file_column = p.column;
    error.record = records_out_;
    return error;
}

Expected<Slot> RecordStream::next_jsonl_slot() {
    for (;;) {
        if (line_) {
            if (auto step = walk_line()) return std::move(*step);
            line_.reset();
        }
        auto got = next_jsonl_line(source_, bytes_read_, lines_consumed_, unfinished_line_, rules_.space);
        if (!got) {
            Error error = std::move(got).error();
            if (error.code == ErrorCode::InvalidUtf8) error.record = records_out_++;
            return error;
        }
        if (!got.value()) return Slot::end();
        JsonlLine& line = *got.value();
        line_number_ = line.number;
        line_offset_ = line.offset - line.skipped;
        if (walker_) {
            walker_->reset();
            line_pos_ = line.begin;
            line_ = std::move(line);
            continue;
        }
        return make_slot(std::move(line.text), line.offset, false, ErrorCode::InvalidLine);
    }
}

std::optional<Expected<Slot>> RecordStream::walk_line() {
    JsonlLine& line = *line_;
    const std::size_t end = line.begin + line.length;
    const std::uint64_t base = line.offset + line.begin;  // where the walker's offsets count from
    auto fault = [&](json::Syntax syntax, std::uint64_t at) {
        Error error = Error::of(ErrorCode::InvalidLine);
        error.syntax = syntax;
        error.json_fault = json::json_fault_for(syntax);
        error.offset = base + at;
        error.line = 1;
        error.column = at + 1;
        error.file_line = line.number;
        error.file_column = line.skipped + line.begin + at + 1;
        error.record = records_out_++;
        line_pos_ = end;
        return std::optional<Expected<Slot>>(std::move(error));
    };
    for (;;) {
        PointerWalker::Event event;
        if (line_pos_ >= end) {
            event = walker_->finish();
        } else {
            std::size_t used = 0;
            event = walker_->feed(std::string_view(line.text.data() + line_pos_, end - line_pos_), used);
            line_pos_ += used;
        }
        switch (event) {
            case PointerWalker::Event::NeedMore: continue;
            case PointerWalker::Event::Member: {
                std::uint64_t start = base + walker_->text_start();
                std::string text = walker_->take_text();
                std::uint64_t separator = start + text.size();
                return refuse_blank(make_slot(std::move(text), start, walker_->in_object(), ErrorCode::InvalidLine),
                                    walker_->member_first(), walker_->member_by_comma(), separator,
                                    ErrorCode::InvalidLine);
            }
            case PointerWalker::Event::Broken: {
                line_pos_ = end;
                std::uint64_t start = base + walker_->text_start();
                return element_error(walker_->take_text(), start, ErrorCode::InvalidLine, walker_->in_object());
            }
            case PointerWalker::Event::Fault: return fault(walker_->fault(), walker_->fault_offset());
            case PointerWalker::Event::Done: {
                if (!walker_->started()) return std::nullopt;
                if (walker_->containers() == 0) {
                    line_pos_ = end;
                    Error error = no_match(base + walker_->document_start());
                    walker_->reset();
                    return std::optional<Expected<Slot>>(std::move(error));
                }
                while (line_pos_ < end && is_space_between(static_cast<unsigned char>(line.text[line_pos_]), rules_.space))
                    ++line_pos_;
                if (line_pos_ < end) return fault(json::Syntax::TrailingCharacters, line_pos_ - line.begin);
                return std::nullopt;
            }
        }
    }
}

Expected<Slot> RecordStream::refuse_blank(Expected<Slot> slot, bool first, bool by_comma, std::uint64_t separator,
                                          ErrorCode code) {
    if (!rules_.strict_elements || !slot || slot.value().kind != Slot::Kind::Blank || (first && !by_comma))
        return slot;
    // As json.load says it: a value was due before this comma, or the
    // comma before this closer has nothing after it.
    Error error = Error::of(code);
    error.syntax = by_comma ? json::Syntax::ExpectedValue : json::Syntax::TrailingComma;
    const bool object = walker_ && walker_->in_object();
    error.json_fault = by_comma || !object ? json::JsonFault::ExpectingValue : json::JsonFault::ExpectingPropertyName;
    error.offset = separator;
    error.line = 1;
    error.column = 1;
    FilePos p = locate(separator);
    if (!by_comma && rules_.read.trailing_comma_at_comma && slot.value().offset != 0) {
        // The blank's text starts just past the comma, on its line: where
        // that text started is kept when the block it started in is left.
        error.json_fault = object ? json::JsonFault::TrailingCommaObject : json::JsonFault::TrailingCommaArray;
        error.offset = slot.value().offset - 1;
        p = locate(slot.value().offset);
        if (p.column > 1) p.column -= 1;
    }
    error.file_line = p.line;
    error.file_column = p.column;
    error.record = records_out_++;
    return error;
}

Error RecordStream::element_error(std::string text, std::uint64_t start, ErrorCode code, bool member) {
    json::repair_utf8(text);
    Piece piece = trimmed_piece(text, true, rules_.space);
    if (member) {
        // The value of the member is what holds the offending byte; a member
        // that is no `"key": value` is named as such.
        MemberSplit split = split_member(text);
        if (!split.ok) {
            text.pop_back();
            auto error = make_slot(std::move(text), start, true, code);
            if (!error) return std::move(error).error();
        } else {
            // Leading white space only: the value keeps its last byte.
            std::string_view value(text.data() + split.value_begin, text.size() - split.value_begin);
            std::size_t lead = static_cast<std::size_t>(trim_space(value, rules_.space).data() - value.data());
            if (lead == value.size()) lead = 0;
            piece = Piece{split.value_begin + lead, text.size() - split.value_begin - lead};
        }
    }
    FilePos p = locate_after(start, std::string_view(text).substr(0, piece.begin));
    auto doc = json::read_json_text(text, piece.begin, piece.length, scratch_, rules_.read);
    if (!doc) {
        Error error = json::syntax_error(code, doc.error(), start + piece.begin);
        as_element(error);
        place(error, p);
        error.record = records_out_++;
        return error;
    }
    // Not reached: the last byte can end no valid element. Should it parse
    // all the same, name that byte rather than pass the element as good.
    scratch_.recycle(std::move(doc).value());
    std::string_view body(text.data() + piece.begin, piece.length);
    std::size_t last_lf = body.rfind('\n', body.size() >= 2 ? body.size() - 2 : 0);
    Error error = Error::of(code);
    error.syntax = json::Syntax::MismatchedBracket;
    error.json_fault = json::json_fault_for(error.syntax);
    error.line = 1 + static_cast<std::uint64_t>(std::count(body.begin(), body.end() - 1, '\n'));
    error.column = last_lf == std::string_view::npos ? body.size() : body.size() - 1 - last_lf;
    error.offset = start + piece.begin + body.size() - 1;
    place(error, p);
    error.record = records_out_++;
    return error;
}

Error RecordStream::file_error(json::Syntax syntax, std::uint64_t offset) const {
    FilePos p = locate(offset);
    Error error = Error::of(format_ == RecordFormat::Jsonl ? ErrorCode::InvalidLine : ErrorCode::InvalidJson);
    error.syntax = syntax;
    error.json_fault = json::json_fault_for(syntax);
    error.offset = offset;
    error.line = p.line;
    // A byte is named by its own column, counted from 1; the end of the
    // file by the column of the last byte, as the reader does.
    error.column = offset < bytes_read_ ? p.column : p.column - 1;
    // json names the end of the text by the place after its last byte.
    error.file_line = p.line;
    error.file_column = p.column;
    error.record = records_out_;
    return error;
}

Expected<Slot> RecordStream::after_array() {
    // Only white space may follow the array: anything else means the
    // array ended early (a stray closer) or the file holds more than one
    // document, and records would be lost without a word.
    for (;;) {
        const char* block = block_.get();
        while (block_pos_ < block_filled_ && is_space_between(static_cast<unsigned char>(block[block_pos_]), rules_.space))
            ++block_pos_;
        if (block_pos_ < block_filled_) {
            phase_ = Phase::Finished;
            std::uint64_t offset = bytes_read_ - block_filled_ + block_pos_;
            return file_error(json::Syntax::TrailingCharacters, offset);
        }
        auto more = refill();
        if (!more) return std::move(more).error();
        if (!more.value()) {
            phase_ = Phase::Finished;
            return Slot::end();
        }
    }
}

Expected<Slot> RecordStream::read_single_document() {
    const std::uint64_t start = scanner_.text_start();
    if (!reading_single_) {
        // The scanner took the rest of the block; its place is kept before
        // the block is left behind for good.
        reading_single_ = true;
        resolved_pos_ = locate(start);
        resolved_offset_ = start;
        single_ = scanner_.take_text();
        block_pos_ = block_filled_ = 0;
        // The file's size, where known, is how much the text will need; a
        // compressed file's is only a first guess.
        std::uint64_t left = total_bytes_ > bytes_read_ ? total_bytes_ - bytes_read_ : 0;
        single_.reserve(single_.size() + static_cast<std::size_t>(std::min<std::uint64_t>(left, 1ull << 30)) + 1);
        if (builder_ != nullptr && rules_.builds()) builder_->expect(single_.size() + left);
    }
    for (;;) {
        if (source_.interrupted()) return Error::of(ErrorCode::Interrupted);
        // Room runs out at the end of a file of known size, which the last
        // byte of the reservation then shows by reading nothing.
        std::size_t spare = single_.capacity() - single_.size();
        if (spare == 0 || (spare < kBlockSize && total_bytes_ == 0)) single_.reserve(2 * single_.capacity() + kBlockSize);
        // Reads stay below 16 MiB so that an interruption is seen between them.
        const std::size_t had = single_.size();
        const std::size_t room = std::min<std::size_t>(single_.capacity() - had, std::size_t{16} << 20);
        Expected<std::size_t, IoError> got = std::size_t{0};
#if defined(__cpp_lib_string_resize_and_overwrite)
        single_.resize_and_overwrite(had + room, [&](char* p, std::size_t) {
            got = source_.read_in_parallel(p + had, room);
            return had + (got ? got.value() : 0);
        });
#else
        single_.resize(had + room);
        got = source_.read_in_parallel(single_.data() + had, room);
        single_.resize(had + (got ? got.value() : 0));
#endif
        if (!got) return got.error().to_error();
        if (got.value() == 0) break;
        bytes_read_ += got.value();
    }
    phase_ = Phase::Finished;
    reading_single_ = false;
    std::string text = std::move(single_);
    if (trim_space(text, rules_.space).empty()) return Slot::end();
    return make_slot(std::move(text), start, false, rules_.broken_document);
}

namespace {

// A fault of a text that ends too soon, which more text may mend.
bool is_end_fault(json::Syntax syntax) {
    using json::Syntax;
    return syntax == Syntax::EofList || syntax == Syntax::EofObject || syntax == Syntax::EofString ||
           syntax == Syntax::EofValue;
}

// Bytes at the end of a text cut short within which a token may be cut, so
// that a fault named there may be the cut's: longer than an escaped
// surrogate pair, the longest token read in one piece. The reader names a
// literal or a number that the text cuts at its last byte.
constexpr std::size_t kCutTokenBytes = 16;

}  // namespace

void RecordStream::gathered(std::size_t length) {
    // Records of a file are mostly alike in size: past the first of many
    // large ones the checks wait for twice the largest, and cost nothing
    // where nothing is wrong.
    largest_gathered_ = std::max(largest_gathered_, length);
    check_at_ = std::max(kCheckFrom, 2 * largest_gathered_);
}

std::optional<Error> RecordStream::check_growth(std::string_view text, std::uint64_t start) {
    // Texts handed out unparsed (raw records, a count) are checked too: a
    // quote out of place would otherwise gather the rest of the file.
    if (!rules_.tell_unchecked || text.size() < check_at_) return std::nullopt;
    if (std::optional<Error> fault = gathered_fault(text, start, false)) return fault;
    check_at_ = 2 * text.size();
    return std::nullopt;
}

std::optional<Error> RecordStream::gathered_fault(std::string_view text, std::uint64_t start, bool at_end) {
    std::string repaired;
    std::string_view checked = text;
    if (rules_.repair_utf8 || !rules_.parses()) {
        // The reader reads UTF-8 only; the element is read repaired. Texts
        // handed out unparsed are checked for their structure alone.
        if (!json::is_valid_utf8(text)) {
            repaired.assign(text);
            json::repair_utf8(repaired);
            checked = repaired;
        }
    } else {
        std::size_t valid = simd::valid_utf8_prefix(text.data(), text.size());
        if (valid < text.size() && (at_end || text.size() - valid > 4)) {
            // Not UTF-8, and not only a character that the last block cut:
            // the element's error, as make_slot tells it.
            auto slot = make_slot(std::string(text), start, false, ErrorCode::InvalidElement);
            if (!slot) return std::move(slot).error();
            return std::nullopt;  // not reached: make_slot checks UTF-8 first
        }
        checked = text.substr(0, valid);
    }
    const std::string_view body = trim_space(checked, rules_.space);
    const std::string_view lead = checked.substr(0, static_cast<std::size_t>(body.data() - checked.data()));
    std::optional<json::JsonParseError> fault = json::check_json_text(body, rules_.read);
    if (!fault || is_end_fault(fault->syntax)) return std::nullopt;
    if (!at_end && fault->offset + kCutTokenBytes >= body.size()) return std::nullopt;
    return record_fault(*fault, ErrorCode::InvalidElement, start, lead);
}

Error RecordStream::lose_structure(Error error) {
    phase_ = Phase::Finished;
    scanner_.take_text();
    if (walker_) walker_->take_text();
    // The end of what this stream would have read: its part's, its file's,
    // or the bytes read when the source is used up; unknown for a stream
    // whose size is not its bytes' (compressed input).
    std::uint64_t end = stop_at_ ? *stop_at_ : known_end_;
    if (block_filled_ == 0 && bytes_read_ > error.offset) end = bytes_read_;
    if (!rules_.tell_unchecked || (end != 0 && error.offset + 1 >= end)) return error;
    Error lost = Error::of(ErrorCode::StructureLost);
    lost.offset = error.offset;
    lost.end = end;
    lost.file_line = error.file_line;
    lost.file_column = error.file_column;
    lost.record = error.record;
    lost_ = std::move(lost);
    return error;
}

Error RecordStream::unclosed_array(std::string_view text, std::uint64_t start) {
    Error error = file_error(json::Syntax::EofList, bytes_read_);
    // json's word is the unfinished element's: after "[" or a comma a
    // value was due, after a whole value a comma, and an element cut
    // inside is named as its own end would be.
    const std::string_view body = trim_space(text, rules_.space);
    if (body.empty()) {
        error.json_fault = json::JsonFault::ExpectingValue;
        return error;
    }
    error.json_fault = json::JsonFault::ExpectingDelimiter;
    if (!json::is_valid_utf8(body)) return error;
    if (std::optional<json::JsonParseError> fault = json::check_json_text(body, rules_.read)) {
        const std::string_view lead = text.substr(0, static_cast<std::size_t>(body.data() - text.data()));
        Error inner = json::syntax_error(error.code, *fault, start + lead.size());
        as_element(inner);
        place(inner, locate_after(start, lead));
        error.json_fault = inner.json_fault;
        if (inner.file_line != 0) {
            error.offset = inner.offset;
            error.file_line = inner.file_line;
            error.file_column = inner.file_column;
        }
    }
    return error;
}

Expected<Slot> RecordStream::end_of_file() {
    phase_ = Phase::Finished;
    if (scanner_.shape() == ElementScanner::Shape::Array) {
        if (rules_.allow_unclosed_array) return Slot::end();
        // An element still open may hold a fault before the end, which the
        // reader meets first: a bracket or quote out of place made the
        // scanner run on to here.
        if (rules_.tell_unchecked) {
            if (std::optional<Error> fault = gathered_fault(scanner_.text(), scanner_.text_start(), true))
                return lose_structure(std::move(*fault));
        }
        // The array was never closed. Say so, at the end of the file as the
        // reader would place it, rather than pass the cut as a normal end.
        return unclosed_array(scanner_.text(), scanner_.text_start());
    }
    std::uint64_t start = scanner_.text_start();
    std::string text = scanner_.take_text();
    if (trim_space(text, rules_.space).empty()) return Slot::end();
    return make_slot(std::move(text), start, false, rules_.broken_document);
}

}  // namespace qvtok::records
