#include "core/records/format.hpp"

#include <string>

#include "core/json/whitespace.hpp"

namespace qvtok::records {
namespace {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = ascii_lower(c);
    return out;
}

bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

Expected<ResolvedFormat> detect_by_content(std::string_view path, InterpreterHooks poll) {
    auto opened = RecordSource::open(path, poll);
    if (!opened) return std::move(opened).error();
    RecordSource& source = opened.value();
    auto resolved = [&](RecordFormat format) {
        // A regular file is read again from its start by the operation; any
        // other keeps the bytes looked at in the source's buffer.
        ResolvedFormat out{format, std::nullopt};
        if (!source.is_regular()) out.source.emplace(std::move(source));
        return out;
    };
    for (;;) {
        // Peek without consuming, so nothing is lost where the file cannot be
        // read twice; only leading whitespace is passed over.
        auto got = source.fill();
        if (!got) {
            const IoError& e = got.error();
            if (e.kind == IoError::Kind::Interrupted) return Error::of(ErrorCode::Interrupted);
            Error error = Error::os(ErrorCode::CannotRead, e.code);
            error.subject = path;
            return error;
        }
        std::string_view bytes = got.value();
        if (bytes.empty()) return resolved(RecordFormat::Jsonl);  // empty, or whitespace only
        std::size_t i = 0;
        while (i < bytes.size() && json::is_scanner_space(static_cast<unsigned char>(bytes[i]))) ++i;
        if (i < bytes.size()) return resolved(bytes[i] == '[' ? RecordFormat::Json : RecordFormat::Jsonl);
        source.consume(i);
    }
}

}  // namespace

Expected<ResolvedFormat> resolve_format(std::string_view path, std::optional<std::string_view> format,
                                        InterpreterHooks poll) {
    if (format) {
        std::string name = lowered(*format);
        if (name == "json") return ResolvedFormat{RecordFormat::Json, std::nullopt};
        if (name == "jsonl" || name == "ndjson") return ResolvedFormat{RecordFormat::Jsonl, std::nullopt};
        if (name != "auto") {
            Error error = Error::of(ErrorCode::UnknownFormat);
            error.subject = std::move(name);
            return error;
        }
    }
    std::string name = lowered(path);
    if (ends_with(name, ".jsonl") || ends_with(name, ".ndjson"))
        return ResolvedFormat{RecordFormat::Jsonl, std::nullopt};
    if (ends_with(name, ".json")) return ResolvedFormat{RecordFormat::Json, std::nullopt};
    return detect_by_content(path, poll);
}

}  // namespace qvtok::records
