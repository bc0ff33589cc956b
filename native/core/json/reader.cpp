#include "core/json/reader.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "core/json/grammar.hpp"

namespace qvtok::json {

Expected<Document, JsonParseError> read_json_text(std::string text, std::size_t begin,
                                                  std::size_t length, ReaderScratch& scratch,
                                                  const ReadOptions& options) {
    // The vectors of a recycled document keep their capacity.
    Document doc = std::move(ScratchAccess::spare(scratch));
    ScratchAccess::spare(scratch) = Document();
    doc.tape.clear();
    doc.entries.clear();
    doc.arena.clear();
    doc.text = std::move(text);
    // Callers pass a range inside the text; clamp so that a wrong one cannot
    // read outside it.
    begin = std::min(begin, doc.text.size());
    length = std::min(length, doc.text.size() - begin);
    Reader<true> reader(doc, begin, length, scratch, options);
    if (!reader.run()) return reader.error();
    return doc;
}

Expected<Document, JsonParseError> read_json_text(std::string text, std::size_t begin,
                                                  std::size_t length) {
    ReaderScratch scratch;
    return read_json_text(std::move(text), begin, length, scratch);
}

Expected<Document, JsonParseError> read_json_text(std::string text, InterruptCheck check) {
    return read_json_text(std::move(text), ReadOptions{}, check);
}

Expected<Document, JsonParseError> read_json_text(std::string text, const ReadOptions& options,
                                                  InterruptCheck check) {
    Document doc;
    doc.text = std::move(text);
    ReaderScratch scratch;
    Reader<true> reader(doc, 0, doc.text.size(), scratch, options, check);
    if (!reader.run()) return reader.error();
    return doc;
}

std::optional<JsonParseError> check_json_text(std::string_view text, const ReadOptions& options) {
    Reader<false> reader(text, options);
    if (!reader.run()) return reader.error();
    return std::nullopt;
}

std::optional<FrontValue> read_json_front(std::string_view text, ReaderScratch& scratch, const ReadOptions& options,
                                          Document& out) {
    Document doc = std::move(ScratchAccess::spare(scratch));
    ScratchAccess::spare(scratch) = Document();
    doc.tape.clear();
    doc.entries.clear();
    doc.arena.clear();
    doc.text.clear();
    FrontValue front;
    Reader<true> reader(doc, text, scratch, options);
    if (!reader.run_front(front)) {
        ScratchAccess::spare(scratch) = std::move(doc);
        return std::nullopt;
    }
    doc.text.assign(text.data(), front.value_end);
    out = std::move(doc);
    return front;
}

std::optional<FrontValue> check_json_front(std::string_view text, const ReadOptions& options) {
    FrontValue front;
    Reader<false> reader(text, options);
    if (!reader.run_front(front)) return std::nullopt;
    return front;
}

std::optional<FrontValue> compact_json_front(std::string_view text, char* out, std::size_t& written,
                                           const ReadOptions& options) {
    FrontValue front;
    Reader<false, true> reader(text, options, out);
    if (!reader.run_front(front)) return std::nullopt;
    written = static_cast<std::size_t>(reader.compact_end() - out);
    return front;
}

std::optional<JsonParseError> compact_json_text(std::string_view text, std::string& out, const ReadOptions& options) {
    std::size_t had = out.size();
    // The compact text is never longer than the text.
    out.resize(had + text.size());
    Reader<false, true> reader(text, options, out.data() + had);
    if (!reader.run()) {
        out.resize(had);
        return reader.error();
    }
    out.resize(static_cast<std::size_t>(reader.compact_end() - out.data()));
    return std::nullopt;
}

}  // namespace qvtok::json
