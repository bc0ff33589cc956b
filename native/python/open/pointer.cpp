// The JSON Pointer parser that qvtok.open falls back on when the core's own
// is not linked in. Weak: wherever the core defines parse_pointer, that
// definition is the one used.
#include "core/records/pointer.hpp"

namespace qvtok::records {

__attribute__((weak)) Expected<Pointer> parse_pointer(std::string_view text) {
    Pointer pointer{std::string(text), {}};
    auto invalid = [&] {
        Error error = Error::of(ErrorCode::InvalidPointer);
        error.subject = std::string(text);
        return error;
    };
    if (text.empty()) return pointer;
    if (text.front() != '/') return invalid();
    std::size_t i = 1;
    for (;;) {
        PointerSegment segment;
        while (i < text.size() && text[i] != '/') {
            char c = text[i++];
            if (c == '~') {
                if (i == text.size() || (text[i] != '0' && text[i] != '1')) return invalid();
                c = text[i++] == '0' ? '~' : '/';
            }
            segment.name += c;
        }
        segment.any = segment.name == "*";
        pointer.segments.push_back(std::move(segment));
        if (i == text.size()) break;
        ++i;  // the "/" before the next segment
    }
    return pointer;
}

}  // namespace qvtok::records
