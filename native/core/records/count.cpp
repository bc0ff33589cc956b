#include "core/records/count.hpp"

#include <cstring>
#include <string_view>

#include "core/json/whitespace.hpp"
#include "core/simd/kernels.hpp"

namespace qvtok::records {

namespace {

Error interrupted() { return Error::of(ErrorCode::Interrupted); }

}  // namespace

Expected<std::uint64_t> count_json_records(RecordSource& source) {
    simd::CountState state;
    bool in_array = false;
    for (;;) {
        if (source.interrupted()) return interrupted();
        auto filled = source.fill();
        if (!filled) return filled.error().to_error();
        std::string_view bytes = filled.value();
        if (bytes.empty()) break;
        std::size_t i = 0;
        if (!in_array) {
            while (i < bytes.size() && json::is_scanner_space(static_cast<unsigned char>(bytes[i]))) ++i;
            if (i == bytes.size()) {
                source.consume(i);
                continue;
            }
            // Any document that is no array is one record; nothing more is read.
            if (bytes[i] != '[') return std::uint64_t{1};
            in_array = true;
            ++i;
        }
        simd::count_array(bytes.data() + i, bytes.size() - i, state);
        source.consume(bytes.size());
    }
    if (!in_array) return std::uint64_t{0};  // nothing but whitespace: no record
    return state.has_content ? state.separators + 1 : std::uint64_t{0};
}

Expected<std::uint64_t> count_jsonl_records(RecordSource& source) {
    simd::LineState state;
    for (;;) {
        if (source.interrupted()) return interrupted();
        auto filled = source.fill();
        if (!filled) return filled.error().to_error();
        std::string_view bytes = filled.value();
        if (bytes.empty()) break;
        std::size_t bad = simd::count_lines(bytes.data(), bytes.size(), state);
        source.consume(bytes.size());
        if (bad == bytes.size()) continue;
        // A line is not UTF-8. That is the answer once the line has been read
        // to its end; a read that fails before then is reported instead.
        bool ended = std::memchr(bytes.data() + bad, '\n', bytes.size() - bad) != nullptr;
        while (!ended) {
            if (source.interrupted()) return interrupted();
            auto more = source.fill();
            if (!more) return more.error().to_error();
            std::string_view rest = more.value();
            if (rest.empty()) break;
            ended = std::memchr(rest.data(), '\n', rest.size()) != nullptr;
            source.consume(rest.size());
        }
        return IoError::utf8().to_error();
    }
    if (simd::ends_in_partial_character(state)) return IoError::utf8().to_error();
    return state.lines + (state.significant ? 1 : 0);
}

}  // namespace qvtok::records
