#include "core/records/stream.hpp"

#include <string.h>

#include <utility>

#include "core/json/utf8.hpp"
#include "core/records/whitespace.hpp"

namespace qvtok::records {

ElementScanner::Event ElementScanner::feed(std::string_view bytes, std::size_t& used) {
    std::size_t i = 0;
    if (shape_ == Shape::Unknown) {
        while (i < bytes.size() && is_scanner_space(static_cast<unsigned char>(bytes[i]))) ++i;
        if (i == bytes.size()) {
            used = i;
            return Event::NeedMore;
        }
        if (bytes[i] == '[') {
            shape_ = Shape::Array;
            ++i;  // the bracket belongs to no element
        } else {
            shape_ = Shape::Single;
        }
    }
    if (shape_ == Shape::Single) {
        text_.append(bytes.data() + i, bytes.size() - i);
        used = bytes.size();
        return Event::NeedMore;
    }
    const std::size_t begin = i;
    simd::Found found;
    for (;;) {
        found = simd::find_separator(bytes.data() + i, bytes.size() - i, state_);
        found.offset += i;
        if (found.stop != simd::Stop::Mismatch || state_.depth != 1) break;
        // A "}" that closes the top-level "[": the scan goes on below the
        // array, as it always has, and the file ends as an array never closed.
        state_ = simd::ArrayState{};
        state_.depth = 0;
        i = found.offset + 1;
    }
    std::size_t at = found.offset;
    text_.append(bytes.data() + begin, at - begin);
    if (found.stop == simd::Stop::More) {
        used = bytes.size();
        return Event::NeedMore;
    }
    used = at + 1;
    if (found.stop == simd::Stop::Comma) return Event::Separator;
    if (found.stop == simd::Stop::Close) return Event::Closed;
    // A mismatched bracket or a control byte in a string: the element ends
    // with the offending byte, so that reading it reports the fault there,
    // and the array ends with it.
    text_.push_back(bytes[at]);
    return Event::Closed;
}

Expected<std::optional<json::Document>, json::JsonParseError> parse_element(std::string text,
                                                                           json::ReaderScratch& scratch) {
    json::repair_utf8(text);
    std::string_view trimmed = trim_whitespace(text);
    if (trimmed.empty()) return std::optional<json::Document>();
    std::size_t begin = static_cast<std::size_t>(trimmed.data() - text.data());
    std::size_t length = trimmed.size();
    auto doc = json::read_json_text(std::move(text), begin, length, scratch);
    if (!doc) return doc.error();
    return std::optional<json::Document>(std::move(doc).value());
}

std::size_t RecordStream::buffer_size(RecordFormat format) {
    // JSON blocks are read straight into the stream's own block; only lines
    // go through the source's buffer.
    return format == RecordFormat::Jsonl ? kLineBufferSize : RecordSource::kBufferSize;
}

Expected<RecordStream> RecordStream::open(std::string_view path, RecordFormat format, SignalPoll poll) {
    auto source = RecordSource::open(path, poll, buffer_size(format));
    if (!source) return std::move(source).error();
    return adopt(std::move(source).value(), format);
}

RecordStream RecordStream::adopt(RecordSource source, RecordFormat format) {
    std::uint64_t size = source.file_size();
    return RecordStream(std::move(source), format, size);
}

RecordStream::RecordStream(RecordSource source, RecordFormat format, std::uint64_t total_bytes)
    : source_(std::move(source)), format_(format), total_bytes_(total_bytes) {
    if (format_ == RecordFormat::Json) block_.reset(new char[kBlockSize]());
}

RecordResult RecordStream::next() {
    if (format_ == RecordFormat::Jsonl) return next_jsonl_record(source_, bytes_read_, unfinished_line_, scratch_);
    return next_json();
}

RecordResult RecordStream::next_json() {
    if (finished_) return std::optional<json::Document>();
    for (;;) {
        if (block_pos_ == block_filled_) {
            if (source_.interrupted()) return Error::of(ErrorCode::Interrupted);
            auto got = source_.read(block_.get(), kBlockSize);
            if (!got) return got.error().to_error();
            block_filled_ = got.value();
            block_pos_ = 0;
            bytes_read_ += block_filled_;
            if (block_filled_ == 0) return end_of_file();
            note_line_feeds();
        }
        std::size_t used = 0;
        auto event = scanner_.feed(std::string_view(block_.get() + block_pos_, block_filled_ - block_pos_), used);
        block_pos_ += used;
        if (event == ElementScanner::Event::NeedMore) continue;
        if (event == ElementScanner::Event::Closed) finished_ = true;
        auto element = parse_element(scanner_.take_text(), scratch_);
        if (!element) return json::syntax_error(ErrorCode::InvalidElement, element.error(), 0);
        if (element.value()) return std::move(element).value();
        if (finished_) return std::optional<json::Document>();
    }
}

void RecordStream::note_line_feeds() {
    const char* block = block_.get();
    const void* last = ::memrchr(block, '\n', block_filled_);
    if (last == nullptr) {
        since_line_feed_ += block_filled_;
        return;
    }
    line_feeds_ += simd::count_line_feeds(block, block_filled_);
    since_line_feed_ = block_filled_ - static_cast<std::size_t>(static_cast<const char*>(last) - block) - 1;
}

RecordResult RecordStream::end_of_file() {
    finished_ = true;
    if (scanner_.shape() == ElementScanner::Shape::Array) {
        // The array was never closed. Say so, at the end of the file as the
        // reader would place it, rather than pass the cut as a normal end.
        json::JsonParseError cut{json::Syntax::EofList, line_feeds_ + 1, since_line_feed_, bytes_read_};
        return json::syntax_error(ErrorCode::InvalidJson, cut, 0);
    }
    auto document = parse_element(scanner_.take_text(), scratch_);
    if (!document) return json::syntax_error(ErrorCode::InvalidElement, document.error(), 0);
    return std::move(document).value();
}

}  // namespace qvtok::records
