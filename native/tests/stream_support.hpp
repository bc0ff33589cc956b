// Helpers for the record stream tests: an in-memory byte source that hands
// out chunks of chosen sizes, a text form of values, and a run of a stream
// to its end.
#pragma once

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/json/value.hpp"
#include "core/records/stream.hpp"
#include "memory_reader.hpp"

namespace qvtok::test {

inline records::RecordStream open_stream(const std::string& text, records::RecordFormat format,
                                         records::StreamRules rules = {}, std::size_t chunk = 1 << 20) {
    records::RecordSource source(std::make_unique<MemReader>(text, chunk), {},
                                 records::RecordStream::buffer_size(format));
    return records::RecordStream::adopt(std::move(source), format, std::move(rules));
}

inline records::StreamRules at(const std::string& pointer, bool parse = true) {
    records::StreamRules rules;
    auto p = records::parse_pointer(pointer);
    if (p) rules.at = std::move(p).value();
    rules.output = parse ? records::Output::Value : records::Output::Raw;
    return rules;
}

// A compact text of a value, keys in the document's order.
inline std::string show(const json::Value& v) {
    switch (v.kind()) {
        case json::Kind::Null: return "null";
        case json::Kind::False: return "false";
        case json::Kind::True: return "true";
        case json::Kind::Unsigned: return std::to_string(v.as_unsigned());
        case json::Kind::Negative: return std::to_string(v.as_negative());
        case json::Kind::Float: {
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.17g", v.as_float());
            return buf;
        }
        case json::Kind::String: return "\"" + std::string(v.str()) + "\"";
        case json::Kind::BigInt: return std::string(v.str());
        case json::Kind::Array: {
            std::string out = "[";
            for (json::Value e : v.elements()) out += (out.size() > 1 ? "," : "") + show(e);
            return out + "]";
        }
        case json::Kind::Object: {
            std::string out = "{";
            for (json::Member m : v.members())
                out += (out.size() > 1 ? "," : "") + ("\"" + std::string(m.key) + "\":") + show(m.value);
            return out + "}";
        }
    }
    return "?";
}

// One step of a stream, as text: "key=value" for a record ("value" without
// a key), "raw:text", "blank", or "error:CODE@offset line:col #record".
struct Step {
    std::string text;
    records::Slot slot;
    Error error;
    bool ok = true;
};

// One step, as run() takes it; false at the end.
inline bool take_step(Expected<records::Slot> slot, Step& step) {
    if (!slot) {
        step.ok = false;
        step.error = slot.error();
        const Error& e = step.error;
        step.text = "error:" + std::to_string(static_cast<int>(e.code)) + "@" + std::to_string(e.offset) + " " +
                    std::to_string(e.file_line) + ":" + std::to_string(e.file_column) + " #" +
                    std::to_string(e.record);
        return true;
    }
    records::Slot& s = slot.value();
    if (s.kind == records::Slot::Kind::End) return false;
    if (s.kind == records::Slot::Kind::Blank) {
        step.text = "blank";
    } else {
        std::string prefix = s.keyed ? s.key + "=" : "";
        step.text = s.record ? prefix + show(s.record->root()) : "raw:" + prefix + s.raw;
    }
    step.slot = std::move(s);
    return true;
}

inline std::vector<Step> run(records::RecordStream& stream, std::size_t limit = 100000) {
    std::vector<Step> out;
    for (std::size_t n = 0; n < limit; ++n) {
        Step step;
        if (!take_step(stream.next_slot(), step)) break;
        out.push_back(std::move(step));
    }
    return out;
}

inline std::string texts(const std::vector<Step>& steps) {
    std::string out;
    for (const Step& s : steps) out += (out.empty() ? "" : " | ") + s.text;
    return out;
}

// The line and column of the byte at `offset`, counted the slow way.
inline std::pair<std::uint64_t, std::uint64_t> line_col(const std::string& text, std::size_t offset) {
    std::uint64_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < offset; ++i)
        if (text[i] == '\n') ++line, line_start = i + 1;
    return {line, offset - line_start + 1};
}

inline std::string texts_of(const std::string& doc, records::RecordFormat format,
                                         records::StreamRules rules, std::size_t chunk = 1 << 20) {
    auto stream = open_stream(doc, format, std::move(rules), chunk);
    return texts(run(stream));
}

}  // namespace qvtok::test
