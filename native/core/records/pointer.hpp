// JSON Pointers (RFC 6901) naming where the records of a document are: the
// container whose members are the records. A segment "*" matches every
// member of an array or object at that level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/json/syntax.hpp"
#include "core/simd/kernels.hpp"

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

// The array index a segment names: "0", or digits without a leading zero
// that fit in 64 bits; kNoIndex otherwise.
inline constexpr std::uint64_t kNoIndex = ~0ull;
std::uint64_t segment_index(std::string_view name);

// The characters of a JSON string body (the bytes between its quotes) with
// its escapes resolved, appended to `out`. False for a bad escape or a lone
// surrogate; `out` then holds a part.
bool unescape_string(std::string_view body, std::string& out);

// Splits the text of an object member, `"key": value`, surrounded by
// optional JSON whitespace: the key unescaped, and where the value starts.
// On failure `fault` is the syntax at fault and `value_begin` the offset of
// the byte named.
struct MemberSplit {
    bool ok = false;
    json::Syntax fault = json::Syntax::ExpectedValue;
    std::size_t value_begin = 0;
    std::string key;
};
MemberSplit split_member(std::string_view text);

// Walks one document fed in pieces and gathers the texts of the members of
// the container(s) a pointer names. What lies outside them is skipped with
// the structural scanner: strings, escapes and nesting are followed, and
// nothing is copied or parsed; only the keys on the way are read. Skipped
// values are checked only for the balance of their brackets, not for being
// JSON: that is what lets the scan pass most windows with one count.
class PointerWalker {
public:
    enum class Event : std::uint8_t {
        NeedMore,  // every byte was taken
        Member,    // a member's text is complete (an empty one is a blank slot)
        Broken,    // a member holds a closer of the wrong kind or a raw control byte
                   // in a string, its last byte; the walk cannot go on
        Fault,     // the structure around the members is not JSON, at fault_offset()
        Done,      // the document ended; its bytes end at the byte before `used`
    };

    explicit PointerWalker(const Pointer& pointer);
    // Ready for another document, fed from offset 0.
    void reset();

    // As ElementScanner::feed: takes bytes from the front of `bytes`, and
    // reports how many in `used`. Nothing may be fed after Broken, Fault or Done.
    Event feed(std::string_view bytes, std::size_t& used);
    // The input ended. Done when the document is complete (or never began:
    // then started() is false), else Fault at the end.
    Event finish();

    bool started() const { return state_ != State::Start; }
    // Where the document's first byte was fed.
    std::uint64_t document_start() const { return doc_start_; }
    // Containers the pointer named that were found; with none at Done the
    // document has no match, and matched() segments were the most matched.
    std::uint64_t containers() const { return containers_; }
    std::size_t matched() const { return best_; }
    // Whether the member texts are object members ("key": value).
    bool in_object() const { return target_object_; }
    // Bytes fed before the member text began.
    std::uint64_t text_start() const { return text_start_; }
    // A member text is being gathered (its start is text_start()).
    bool gathering() const { return state_ == State::Gather; }
    std::string take_text() { return std::exchange(text_, std::string()); }
    // The member text gathered so far.
    std::string_view text() const { return text_; }
    // After a Member: whether it was its container's first, and whether a
    // comma (not the closer) ended it.
    bool member_first() const { return member_first_; }
    bool member_by_comma() const { return next_start_pending_; }
    // Before any byte of a member of a named array: a counter may pass
    // members in bulk, and tell the walker with passed().
    bool at_array_member_start() const { return state_ == State::Gather && !target_object_ && text_.empty(); }
    // Members were passed, with the comma after the last: `bytes` more were taken.
    void passed(std::size_t bytes) {
        fed_ += bytes;
        text_start_ = fed_;
        next_start_pending_ = false;
        first_member_ = false;
    }

    json::Syntax fault() const { return fault_; }
    std::uint64_t fault_offset() const { return fault_offset_; }

private:
    enum class State : std::uint8_t {
        Start,        // before the document
        Value,        // before a value
        Skip,         // inside a value that is passed over
        AfterValue,   // after a member: "," or the container's closer
        FirstKey,     // after "{"
        Key,          // after "," in an object
        InKey,        // inside a key
        Colon,        // after a key
        FirstElement, // after "["
        Element,      // after "," in an array
        Gather,       // inside the named container
        Finished,
    };
    struct Frame {
        bool object;
        std::uint64_t index;
    };

    Event fail(json::Syntax syntax, std::size_t at, std::size_t& used);
    bool segment_matches_key() const;
    bool segment_matches_index() const;
    // Leaves a container whose closer was just taken.
    void close_container();

    std::vector<PointerSegment> segments_;
    std::vector<std::uint64_t> indexes_;
    std::vector<Frame> frames_;
    State state_ = State::Start;
    simd::ArrayState scan_;
    bool target_object_ = false;
    bool key_escaped_ = false;
    bool next_start_pending_ = false;
    bool first_member_ = false;   // the member being gathered is the container's first
    bool member_first_ = false;   // the member that ended was
    std::string key_;
    std::string text_;
    std::uint64_t fed_ = 0;
    std::uint64_t text_start_ = 0;
    std::uint64_t doc_start_ = 0;
    std::uint64_t containers_ = 0;
    std::size_t best_ = 0;
    json::Syntax fault_ = json::Syntax::EofValue;
    std::uint64_t fault_offset_ = 0;
};

}  // namespace qvtok::records
