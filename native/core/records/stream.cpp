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
        while (i < bytes.size() && json::is_scanner_space(static_cast<unsigned char>(bytes[i]))) ++i;
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
        case simd::Stop::Comma: event = Event::Separator; break;
        case simd::Stop::Close: event = Event::Closed; break;
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
    if (event != Event::NeedMore) text_start_ = fed_;
    return event;
}

namespace {

// Where a piece of text for the reader starts and ends within a gathered
// element: White_Space at either end is no part of it, except that a broken
// element keeps its last byte, which is the one at fault.
struct Piece {
    std::size_t begin;
    std::size_t length;
};

Piece trimmed_piece(const std::string& text, bool keep_end) {
    std::string_view trimmed = trim_whitespace(text);
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
    return RecordStream(std::move(source), format, rules, size);
}

RecordStream::RecordStream(RecordSource source, RecordFormat format, StreamRules rules,
                           std::uint64_t total_bytes)
    : source_(std::move(source)), format_(format), rules_(rules), total_bytes_(total_bytes) {
    if (format_ == RecordFormat::Json) block_.reset(new char[kBlockSize]);
}

RecordResult RecordStream::next() {
    if (format_ == RecordFormat::Jsonl) return next_jsonl_record(source_, bytes_read_, unfinished_line_, scratch_);
    for (;;) {
        auto slot = next_json_slot();
        if (!slot) return std::move(slot).error();
        switch (slot.value().kind) {
            case Slot::Kind::Record: return std::move(slot.value().record);
            case Slot::Kind::End: return std::optional<json::Document>();
            case Slot::Kind::Blank: break;
        }
    }
}

Expected<Slot> RecordStream::next_slot() {
    if (format_ == RecordFormat::Json) return next_json_slot();
    auto record = next_jsonl_record(source_, bytes_read_, unfinished_line_, scratch_);
    if (!record) return std::move(record).error();
    if (!record.value()) return Slot{Slot::Kind::End, std::nullopt};
    return Slot{Slot::Kind::Record, std::move(record).value()};
}

Expected<bool> RecordStream::refill() {
    if (source_.interrupted()) return Error::of(ErrorCode::Interrupted);
    // The position counters move past the block that is done with.
    const char* block = block_.get();
    if (const void* last = ::memrchr(block, '\n', block_filled_)) {
        line_feeds_ += simd::count_line_feeds(block, block_filled_);
        since_line_feed_ = block_filled_ - static_cast<std::size_t>(static_cast<const char*>(last) - block) - 1;
    } else {
        since_line_feed_ += block_filled_;
    }
    auto got = source_.read(block_.get(), kBlockSize);
    block_filled_ = 0;
    block_pos_ = 0;
    if (!got) return got.error().to_error();
    block_filled_ = got.value();
    bytes_read_ += block_filled_;
    return block_filled_ != 0;
}

Expected<Slot> RecordStream::next_json_slot() {
    for (;;) {
        switch (phase_) {
            case Phase::Finished: return Slot{Slot::Kind::End, std::nullopt};
            case Phase::AfterArray: return after_array();
            case Phase::Elements: break;
        }
        if (block_pos_ == block_filled_) {
            auto more = refill();
            if (!more) return std::move(more).error();
            if (!more.value()) return end_of_file();
        }
        std::size_t used = 0;
        auto event =
            scanner_.feed(std::string_view(block_.get() + block_pos_, block_filled_ - block_pos_), used);
        block_pos_ += used;
        switch (event) {
            case ElementScanner::Event::NeedMore: continue;
            case ElementScanner::Event::Separator: break;
            case ElementScanner::Event::Closed: phase_ = Phase::AfterArray; break;
            case ElementScanner::Event::Broken:
                phase_ = Phase::Finished;
                return element_error(scanner_.take_text(), scanner_.text_start());
        }
        std::uint64_t start = scanner_.text_start();
        std::string text = scanner_.take_text();
        json::repair_utf8(text);
        Piece piece = trimmed_piece(text, false);
        if (piece.length == 0) {
            if (phase_ == Phase::AfterArray && !rules_.check_after_array) phase_ = Phase::Finished;
            return Slot{Slot::Kind::Blank, std::nullopt};
        }
        auto doc = json::read_json_text(std::move(text), piece.begin, piece.length, scratch_);
        if (phase_ == Phase::AfterArray && !rules_.check_after_array) phase_ = Phase::Finished;
        if (!doc) return json::syntax_error(ErrorCode::InvalidElement, doc.error(), start + piece.begin);
        return Slot{Slot::Kind::Record, std::move(doc).value()};
    }
}

Error RecordStream::element_error(std::string text, std::uint64_t start) {
    json::repair_utf8(text);
    Piece piece = trimmed_piece(text, true);
    auto doc = json::read_json_text(text, piece.begin, piece.length, scratch_);
    if (!doc) return json::syntax_error(ErrorCode::InvalidElement, doc.error(), start + piece.begin);
    // Not reached: the last byte can end no valid element. Should it parse
    // all the same, name that byte rather than pass the element as good.
    scratch_.recycle(std::move(doc).value());
    std::string_view body(text.data() + piece.begin, piece.length);
    std::size_t last_lf = body.rfind('\n', body.size() >= 2 ? body.size() - 2 : 0);
    Error error = Error::of(ErrorCode::InvalidElement);
    error.syntax = json::Syntax::MismatchedBracket;
    error.line = 1 + static_cast<std::uint64_t>(std::count(body.begin(), body.end() - 1, '\n'));
    error.column = last_lf == std::string_view::npos ? body.size() : body.size() - 1 - last_lf;
    error.offset = start + piece.begin + body.size() - 1;
    return error;
}

Error RecordStream::file_error(json::Syntax syntax, std::uint64_t offset) const {
    // The byte lies in the current block, or is the end of the file.
    std::uint64_t block_start = bytes_read_ - block_filled_;
    std::size_t in_block = static_cast<std::size_t>(std::min<std::uint64_t>(offset - block_start, block_filled_));
    const char* block = block_.get();
    std::uint64_t line_feeds = line_feeds_ + simd::count_line_feeds(block, in_block);
    const void* last = in_block == 0 ? nullptr : ::memrchr(block, '\n', in_block);
    std::uint64_t since = last == nullptr
                              ? since_line_feed_ + in_block
                              : in_block - static_cast<std::size_t>(static_cast<const char*>(last) - block) - 1;
    Error error = Error::of(ErrorCode::InvalidJson);
    error.syntax = syntax;
    error.offset = offset;
    error.line = line_feeds + 1;
    // A byte is named by its own column, counted from 1; the end of the
    // file by the column of the last byte, as the reader does.
    error.column = offset < bytes_read_ ? since + 1 : since;
    return error;
}

Expected<Slot> RecordStream::after_array() {
    // Only scanner whitespace may follow the array: anything else means the
    // array ended early (a stray closer) or the file holds more than one
    // document, and records would be lost without a word.
    for (;;) {
        const char* block = block_.get();
        while (block_pos_ < block_filled_ && json::is_scanner_space(static_cast<unsigned char>(block[block_pos_])))
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
            return Slot{Slot::Kind::End, std::nullopt};
        }
    }
}

Expected<Slot> RecordStream::end_of_file() {
    phase_ = Phase::Finished;
    if (scanner_.shape() == ElementScanner::Shape::Array) {
        if (rules_.allow_unclosed_array) return Slot{Slot::Kind::End, std::nullopt};
        // The array was never closed. Say so, at the end of the file as the
        // reader would place it, rather than pass the cut as a normal end.
        return file_error(json::Syntax::EofList, bytes_read_);
    }
    std::uint64_t start = scanner_.text_start();
    std::string text = scanner_.take_text();
    json::repair_utf8(text);
    Piece piece = trimmed_piece(text, false);
    if (piece.length == 0) return Slot{Slot::Kind::End, std::nullopt};
    auto doc = json::read_json_text(std::move(text), piece.begin, piece.length, scratch_);
    if (!doc) return json::syntax_error(rules_.broken_document, doc.error(), start + piece.begin);
    return Slot{Slot::Kind::Record, std::move(doc).value()};
}

}  // namespace qvtok::records
