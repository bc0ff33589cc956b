#include "core/records/sample.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/json/reader.hpp"
#include "core/records/lines.hpp"
#include "core/records/stream.hpp"

namespace qvtok::records {

namespace {

Error parse_failure(ErrorCode code, const json::JsonParseError& error) {
    return json::syntax_error(code, error, 0);
}

}  // namespace

Expected<Done> draw_json_sample(RecordSource& source, std::uint64_t sample, const RecordSink& take) {
    json::ReaderScratch scratch;
    std::uint64_t taken = 0;
    ElementScanner scanner;
    for (;;) {
        if (source.interrupted()) return Error::of(ErrorCode::Interrupted);
        auto filled = source.fill();
        if (!filled) return filled.error().to_error();
        std::string_view bytes = filled.value();
        if (bytes.empty()) break;
        std::size_t pos = 0;
        while (pos < bytes.size()) {
            std::size_t used = 0;
            auto event = scanner.feed(bytes.substr(pos), used);
            pos += used;
            if (event == ElementScanner::Event::NeedMore) break;
            auto element = parse_element(scanner.take_text(), scratch);
            if (!element) return parse_failure(ErrorCode::InvalidElement, element.error());
            if (element.value()) {
                take(*element.value());
                scratch.recycle(std::move(*element.value()));
                ++taken;
            }
            if (event == ElementScanner::Event::Closed || taken >= sample) {
                source.consume(pos);
                return Done{};
            }
        }
        source.consume(bytes.size());
    }
    // The end of the file. An array cut off here keeps the elements it has.
    if (scanner.shape() == ElementScanner::Shape::Array) return Done{};
    auto document = parse_element(scanner.take_text(), scratch);
    if (!document) return parse_failure(ErrorCode::InvalidJson, document.error());
    if (document.value()) take(*document.value());
    return Done{};
}

Expected<Done> draw_jsonl_sample(RecordSource& source, std::uint64_t sample, const RecordSink& take) {
    constexpr unsigned kLinesBetweenPolls = 4096;
    json::ReaderScratch scratch;
    std::uint64_t taken = 0;
    for (unsigned lines = 1;; ++lines) {
        if (lines % kLinesBetweenPolls == 0 && source.interrupted()) return Error::of(ErrorCode::Interrupted);
        auto line = next_line(source);
        if (line && !line.value()) break;
        // A raised signal handler is never dropped, even when the sample is full.
        if (!line && line.error().kind == IoError::Kind::Interrupted) return line.error().to_error();
        if (taken >= sample) break;
        if (!line) return line.error().to_error();
        std::string text = std::move(*line.value());
        std::string_view trimmed = trim_whitespace(text);
        if (trimmed.empty()) continue;
        std::size_t begin = static_cast<std::size_t>(trimmed.data() - text.data());
        std::size_t length = trimmed.size();
        auto doc = json::read_json_text(std::move(text), begin, length, scratch);
        if (!doc) return parse_failure(ErrorCode::InvalidLine, doc.error());
        take(doc.value());
        scratch.recycle(std::move(doc).value());
        ++taken;
    }
    return Done{};
}

}  // namespace qvtok::records
