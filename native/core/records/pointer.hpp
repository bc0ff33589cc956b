// JSON Pointers (RFC 6901) naming where the records of a document are: the
// container whose members are the records. A segment "*" matches every
// member of an array or object at that level.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace qvtok::records {

struct PointerSegment {
    std::string name;  // unescaped ("~1" is "/", "~0" is "~")
    bool any = false;  // "*": every member
};

struct Pointer {
    std::string text;  // as the caller wrote it, for messages
    std::vector<PointerSegment> segments;  // empty: the document itself
};

// "" is the document itself; anything else starts with "/". Fails with
// InvalidPointer (a text not starting with "/", a "~" not followed by 0 or 1).
Expected<Pointer> parse_pointer(std::string_view text);

}  // namespace qvtok::records
