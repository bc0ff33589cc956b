// The reader's grammar, as a template over what it makes of a text: a
// document's tape, nothing (a check), a compact copy, or values handed to a
// sink of the caller's (the Python side builds its objects that way, with
// no tape in between). Everything here has internal linkage: each file that
// includes it gets the instances it uses, inlined where it uses them.
#pragma once

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/json/number.hpp"
#include "core/json/reader.hpp"
#include "core/json/syntax.hpp"
#include "core/json/utf8.hpp"
#include "core/json/whitespace.hpp"
#include "core/simd/baseline.hpp"

namespace qvtok::json {
namespace {

constexpr std::uint64_t bits(Kind k) { return static_cast<std::uint64_t>(k); }

inline bool is_digit(unsigned char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Hex digit values; 0xFF marks a byte that is not a hex digit.
constexpr auto kHexValue = [] {
    struct Table {
        unsigned char v[256];
    } t{};
    for (int c = 0; c < 256; ++c) t.v[c] = 0xFF;
    for (int c = '0'; c <= '9'; ++c) t.v[c] = static_cast<unsigned char>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) t.v[c] = static_cast<unsigned char>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) t.v[c] = static_cast<unsigned char>(c - 'A' + 10);
    return t;
}();

// The first byte in [p, end) that ends a run of plain string bytes: a double
// quote, a backslash or a control byte below 0x20; `end` when there is none.
// Sets `high` non-zero when a byte of the run is 0x80 or above.
inline const char* scan_string_run(const char* p, const char* end, unsigned& high) {
    // The compile-time baseline, inlined: see simd/baseline.hpp.
    using simd::Baseline;
    while (static_cast<std::size_t>(end - p) >= Baseline::kRun) {
        unsigned k = Baseline::string_run(p, high);
        if (k != Baseline::kRun) return p + k;
        p += Baseline::kRun;
    }
    for (; p != end; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20) return p;
        high |= c & 0x80;
    }
    return end;
}

// The number that eight ASCII digits in a word make (the first digit is
// the word's low byte: little-endian).
inline std::uint64_t digits_value(std::uint64_t x) {
    x -= 0x3030303030303030ull;
    x = (x * 10) + (x >> 8);  // pairs of digits in every other byte
    return (((x & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
            (((x >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
           32;
}

// Zero in each byte of the word that is an ASCII digit: its high nibble is
// 3 and adding 6 keeps it so. Adding 6 carries out of a byte only from
// 0xFA on, which is no digit, and only into the bytes after it.
inline std::uint64_t non_digits(std::uint64_t x) {
    return ((x & 0xF0F0F0F0F0F0F0F0ull) | (((x + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) >> 4)) ^
           0x3333333333333333ull;
}

inline constexpr std::uint64_t kPowersOfTen[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// The run of digits that starts the eight bytes at p, at once: how many
// (0 to 8), and their number in `value`. Numbers of a few digits thus cost
// no loop whose end is guessed digit by digit.
inline unsigned leading_digits(const char* p, std::uint64_t& value) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    const std::uint64_t z = non_digits(x);
    // The high bit of every byte that is not a digit.
    const std::uint64_t stops = (((z & 0x7F7F7F7F7F7F7F7Full) + 0x7F7F7F7F7F7F7F7Full) | z) & 0x8080808080808080ull;
    const unsigned n = stops != 0 ? static_cast<unsigned>(__builtin_ctzll(stops)) / 8 : 8;
    if (n == 0) {
        value = 0;
        return 0;
    }
    // The n digits moved to the top of the word with '0's below them make
    // the same number.
    if (n < 8) x = (x << (8 * (8 - n))) | (0x3030303030303030ull >> (8 * n));
    value = digits_value(x);
    return n;
}

// Where a check sends the bytes of decoded strings: nowhere.
struct NoBytes {
    void append(const char*, const char*) {}
    void append(const char*, std::size_t) {}
    void push_back(char) {}
    std::size_t size() const { return 0; }
};

// Reserving from the text size avoids regrowing the tape on typical
// documents (about one node per 6 bytes at the dense end). The cap keeps the
// reservation for multi-gigabyte texts within what the heap will grant; past
// it the vectors grow as usual.
constexpr std::size_t kBytesPerNodeGuess = 6;
constexpr std::size_t kBytesPerEntryGuess = 24;
constexpr std::size_t kMaxReservedNodes = std::size_t{1} << 24;

}  // namespace

// The reader's way into the scratch's private lists.
class ScratchAccess {
public:
    using KeyOrder = ReaderScratch::KeyOrder;
    using OpenContainer = ReaderScratch::OpenContainer;
    static std::vector<Entry>& pending(ReaderScratch& s) { return s.pending_; }
    static std::vector<OpenContainer>& open(ReaderScratch& s) { return s.open_; }
    static std::vector<KeyOrder>& order(ReaderScratch& s) { return s.order_; }
    static Document& spare(ReaderScratch& s) { return s.spare_; }
};

namespace {

// The containers open around the one being read, outermost first. The
// first levels fit in the reader itself, so that a shallow record costs no
// allocation; deeper ones move to the heap, into the scratch's list where
// the caller keeps one, so that many deep records allocate once.
template <class Frame>
class OpenStack {
public:
    OpenStack() = default;
    OpenStack(const OpenStack&) = delete;
    OpenStack& operator=(const OpenStack&) = delete;

    void spill_to(std::vector<Frame>& heap) { spill_ = &heap; }

    void push(const Frame& frame) {
        if (size_ == room_) [[unlikely]]
            grow();
        base_[size_++] = frame;
    }
    Frame pop() { return base_[--size_]; }

private:
    [[gnu::cold, gnu::noinline]] void grow() {
        std::vector<Frame>& heap = spill_ != nullptr ? *spill_ : own_;
        if (base_ == inline_) {
            if (heap.size() < 2 * kInline) heap.resize(2 * kInline);
            std::copy(inline_, inline_ + size_, heap.begin());
        } else {
            heap.resize(2 * heap.size());
        }
        base_ = heap.data();
        room_ = heap.size();
    }

    static constexpr std::size_t kInline = 32;
    Frame inline_[kInline];
    Frame* base_ = inline_;
    std::size_t size_ = 0;
    std::size_t room_ = kInline;
    std::vector<Frame>* spill_ = nullptr;
    std::vector<Frame> own_;
};

// What a check needs of an open container: which closer ends it.
struct KindOnly {
    bool object;
};

// What a Sink is handed, value by value in document order, each call
// returning false to stop the read (the sink then knows why):
//   literal(Kind)  Null, False or True;
//   unsigned_int(std::uint64_t), negative_int(std::int64_t),
//   floating(double), big_int(std::string_view literal);
//   decimal(significand, exponent, negative), if the sink has it, in place
//       of floating() for a literal that detail::converts_fast;
//   string(std::string_view bytes, bool ascii), key(bytes, ascii): valid
//       UTF-8 when the text is, decoded, and gone after the call;
//   close_array(std::size_t count), close_object(std::size_t count): the
//       container of the last `count` values (of `count` key and value
//       pairs, each key before its value) that the sink was handed.
// Containers are announced only when they close: until then their values
// are the sink's to hold.

// One grammar for four jobs: kBuild reads the text onto a document's tape;
// with a Sink, the values go to the sink instead; with neither the same
// steps only check the text, so that a check fails exactly where and how a
// read would, at a fraction of the cost. A check with kCompact also writes
// the text without the white space between its tokens: the reader is what
// knows where tokens end, so nothing else needs to follow strings for it.
template <bool kBuild, bool kCompact = false, class Sink = void>
class Reader {
    static constexpr bool kSink = !std::is_void_v<Sink>;
    static_assert(!(kSink && (kBuild || kCompact)), "a sink takes the place of the tape");
    // The containers that a check opens need only their kind.
    using Frame = std::conditional_t<kBuild || kSink, ScratchAccess::OpenContainer, KindOnly>;

public:
    Reader(Document& doc, std::size_t begin, std::size_t length, ReaderScratch& scratch,
           const ReadOptions& options, InterruptCheck check = nullptr)
        requires kBuild
        : Reader(doc.text.data(), begin, length, options, check) {
        attach(doc, scratch);
        doc_->tape.reserve(std::min(length / kBytesPerNodeGuess + 4, kMaxReservedNodes));
        doc_->entries.reserve(std::min(length / kBytesPerEntryGuess, kMaxReservedNodes));
    }

    // Building from a text the document does not own (yet): string offsets
    // count from text.data(), so the document's text must become a copy of
    // the text's front before it is read. No reservation: such texts are
    // one record among many, and the recycled vectors keep their room.
    Reader(Document& doc, std::string_view text, ReaderScratch& scratch, const ReadOptions& options)
        requires kBuild
        : Reader(text.data(), 0, text.size(), options, nullptr) {
        attach(doc, scratch);
    }

    // Values to `sink`; the check, when given, is asked every so many values.
    template <class S>
    Reader(std::string_view text, const ReadOptions& options, S& sink, InterruptCheck check)
        requires(kSink && std::is_same_v<S, Sink>)
        : Reader(text.data(), 0, text.size(), options, check) {
        sink_ = &sink;
    }

    // `out` has room for all of `text` (kCompact only).
    Reader(std::string_view text, const ReadOptions& options, char* out = nullptr)
        requires(!kBuild && !kSink)
        : Reader(text.data(), 0, text.size(), options, nullptr) {
        out_ = out;
        out_end_ = out != nullptr ? out + text.size() : nullptr;
        copy_from_ = base_;
    }

    // After a successful run with kCompact: the end of what was written.
    char* compact_end() {
        flush();
        return out_;
    }

    bool run() {
        if (!value()) return false;
        skip_space();
        if (p_ != end_) return fail_offending(Syntax::TrailingCharacters, JsonFault::ExtraData);
        return true;
    }

    // One value at the front of the text and the white space after it; a
    // byte must follow them.
    bool run_front(FrontValue& front) {
        skip_space();
        front.value_begin = static_cast<std::size_t>(p_ - base_);
        if (!value()) return false;
        front.value_end = static_cast<std::size_t>(p_ - base_);
        skip_space();
        front.next = static_cast<std::size_t>(p_ - base_);
        return p_ != end_;
    }

    // Whether the check or the sink stopped the read, not the text.
    bool stopped() const { return interrupted_; }

    JsonParseError error() const {
        if (interrupted_) return JsonParseError{error_syntax_, 0, 0, 0, true};
        // The line is only counted now, for the error: nothing is tracked
        // while reading.
        std::size_t i = error_at_;
        const void* lf = i ? memrchr(base_, '\n', i) : nullptr;
        std::size_t start = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - base_) + 1 : 0;
        std::uint64_t line = 1 + static_cast<std::uint64_t>(std::count(base_, base_ + start, '\n'));
        JsonParseError e{error_syntax_, line, i - start, i == 0 ? 0 : i - 1};
        // json counts only the line feeds before the place it names.
        const std::size_t j = json_at_;
        const void* json_lf = j ? memrchr(base_, '\n', j) : nullptr;
        const std::size_t json_start =
            json_lf ? static_cast<std::size_t>(static_cast<const char*>(json_lf) - base_) + 1 : 0;
        e.json_fault = json_fault_;
        e.json_offset = j;
        e.json_line = 1 + static_cast<std::uint64_t>(std::count(base_, base_ + json_start, '\n'));
        e.json_column = j - json_start + 1;
        return e;
    }

private:
    Reader(const char* text, std::size_t begin, std::size_t length, const ReadOptions& options,
           InterruptCheck check)
        : check_(check), options_(options), text_(text), base_(text + begin), p_(base_), end_(base_ + length) {}

    void attach(Document& doc, ReaderScratch& scratch) {
        doc_ = &doc;
        scratch_ = &ScratchAccess::pending(scratch);
        order_ = &ScratchAccess::order(scratch);
        open_.spill_to(ScratchAccess::open(scratch));
        scratch_->clear();
    }

    // Error positions. "Consumed": the byte just read (p_ is past it) is the
    // one named. "Offending": the byte at p_ was looked at and refused; at
    // the end of the text that names the last byte. Each also says how
    // Python's json tells the fault, and json's place where it is not the
    // reader's byte (json names the end of a text past its last byte).
    [[gnu::cold, gnu::noinline]] bool fail_consumed(Syntax syntax, JsonFault json = JsonFault::None,
                                                    const char* json_at = nullptr) {
        return fail_at(syntax, static_cast<std::size_t>(p_ - base_), json, json_at != nullptr ? json_at : p_ - 1);
    }
    [[gnu::cold, gnu::noinline]] bool fail_offending(Syntax syntax, JsonFault json = JsonFault::None,
                                                     const char* json_at = nullptr) {
        std::size_t i = static_cast<std::size_t>(p_ - base_);
        return fail_at(syntax, std::min(i + 1, static_cast<std::size_t>(end_ - base_)), json,
                       json_at != nullptr ? json_at : p_);
    }
    [[gnu::cold, gnu::noinline]] bool fail_at_end(Syntax syntax, JsonFault json = JsonFault::None,
                                                  const char* json_at = nullptr) {
        p_ = end_;
        return fail_at(syntax, static_cast<std::size_t>(end_ - base_), json, json_at != nullptr ? json_at : end_);
    }
    [[gnu::cold]] bool fail_at(Syntax syntax, std::size_t at, JsonFault json, const char* json_at) {
        error_syntax_ = syntax;
        error_at_ = at;
        json_fault_ = json;
        json_at_ = static_cast<std::size_t>(json_at - base_);
        return false;
    }

    // A value that json reads shorter than the reader does (a number cut
    // at a byte that cannot go on it): json ends the value there and
    // then finds that byte where a comma was due, or at the top, extra.
    [[gnu::cold, gnu::noinline]] bool ended_early(unsigned depth) {
        if (json_fault_ == JsonFault::ExtraData && depth != 0) json_fault_ = JsonFault::ExpectingDelimiter;
        return false;
    }

    // A comma with only white space between it and the closer at p_.
    [[gnu::cold, gnu::noinline]] bool trailing_comma(bool object) {
        if (!options_.trailing_comma_at_comma)
            return fail_offending(Syntax::TrailingComma,
                                  object ? JsonFault::ExpectingPropertyName : JsonFault::ExpectingValue);
        const char* comma = p_ - 1;
        while (*comma != ',') --comma;
        return fail_offending(Syntax::TrailingComma,
                              object ? JsonFault::TrailingCommaObject : JsonFault::TrailingCommaArray, comma);
    }

    // Asks the interruption check, which may stop the parse.
    [[gnu::cold, gnu::noinline]] bool checkpoint() {
        until_check_ = kValuesBetweenChecks;
        if (check_ == nullptr || check_() == 0) return true;
        interrupted_ = true;
        return false;
    }

    void skip_space() {
        if (p_ != end_ && static_cast<unsigned char>(*p_) > ' ') return;
        skip_space_run();
    }

    void skip_space_run() {
        flush();
        skip_spaces();
        if constexpr (kCompact) copy_from_ = p_;
    }

    void skip_spaces() {
        // Indentation makes long runs common in pretty-printed files.
        using simd::Baseline;
        while (static_cast<std::size_t>(end_ - p_) >= Baseline::kRun) {
            unsigned k = Baseline::space_run(p_);
            p_ += k;
            if (k != Baseline::kRun) return;
        }
        while (p_ != end_ && is_json_space(static_cast<unsigned char>(*p_))) ++p_;
    }

    // Compacting: the bytes since the last white space go out. Most runs
    // between two spaces are short: where both sides have the room, one
    // fixed 16-byte copy does, and the bytes past the run are overwritten
    // by the next.
    void flush() {
        if constexpr (kCompact) {
            std::size_t n = static_cast<std::size_t>(p_ - copy_from_);
            if (n <= 16 && end_ - copy_from_ >= 16 && out_end_ - out_ >= 16) [[likely]] {
                std::memcpy(out_, copy_from_, 16);
            } else {
                std::memcpy(out_, copy_from_, n);
            }
            out_ += n;
            copy_from_ = p_;
        }
    }

    // A container's node (and its auxiliary one): the tape's alone.
    void push(std::uint64_t head, std::uint64_t payload) {
        if constexpr (kBuild) doc_->tape.push_back(Node{head, payload});
    }

    // A value that holds no other: onto the tape, or to the sink, which
    // may stop the read.
    [[gnu::always_inline]] bool put(std::uint64_t head, std::uint64_t payload) {
        if constexpr (kBuild) doc_->tape.push_back(Node{head, payload});
        if constexpr (kSink) {
            if (!to_sink(head, payload)) return fail_sink();
        }
        return true;
    }

    // Every call site names its kind, so once inlined the switch is gone.
    [[gnu::always_inline]] bool to_sink(std::uint64_t head, std::uint64_t payload)
        requires kSink
    {
        switch (static_cast<Kind>(head & 0xF)) {
            case Kind::Null:
            case Kind::False:
            case Kind::True: return sink_->literal(static_cast<Kind>(head & 0xF));
            case Kind::Unsigned: return sink_->unsigned_int(payload);
            case Kind::Negative: return sink_->negative_int(static_cast<std::int64_t>(payload));
            case Kind::Float: {
                double f;
                std::memcpy(&f, &payload, sizeof f);
                return sink_->floating(f);
            }
            case Kind::String: return sink_->string(sink_bytes(head, payload), (head & kAsciiBit) != 0);
            case Kind::BigInt: return sink_->big_int(sink_bytes(head, payload));
            case Kind::Array:
            case Kind::Object: break;
        }
        return false;
    }

    // A string's bytes, in the text or decoded into the arena.
    std::string_view sink_bytes(std::uint64_t head, std::uint64_t offset)
        requires kSink
    {
        const char* src = (head & kArenaBit) ? arena_.data() : text_;
        return std::string_view(src + offset, head >> kSizeShift);
    }

    [[gnu::cold, gnu::noinline]] bool fail_sink() {
        interrupted_ = true;
        return false;
    }
    std::size_t tape_size() const {
        if constexpr (kBuild) return doc_->tape.size();
        return 0;
    }

    // One value and all it holds. Containers are not read by recursion, so
    // that the nesting a text may have is bounded by the options and not
    // by the thread's stack: the innermost open container is kept in
    // `cur`, those around it wait on open_.
    bool value() {
        Frame cur{};  // meaningless while depth is 0
        unsigned depth = 0;
    next_value:
        if (--until_check_ == 0) [[unlikely]] {
            if (!checkpoint()) return false;
        }
        skip_space();
        if (p_ == end_) return fail_offending(Syntax::EofValue, JsonFault::ExpectingValue);
        switch (*p_) {
            case '"': {
                ++p_;
                std::uint64_t head, offset;
                if (!string(head, offset)) return false;
                if (!put(head, offset)) return false;
                break;
            }
            case '[':
                if (depth++ == max_depth_) [[unlikely]]
                    return fail_offending(Syntax::RecursionLimit);
                descend(cur, false);
                if (p_ == end_) return fail_offending(Syntax::EofList, JsonFault::ExpectingValue);
                if (*p_ != ']') goto next_value;
                ++p_;
                goto close_array;
            case '{':
                if (depth++ == max_depth_) [[unlikely]]
                    return fail_offending(Syntax::RecursionLimit);
                descend(cur, true);
                if (p_ == end_) return fail_offending(Syntax::EofObject, JsonFault::ExpectingPropertyName);
                if (*p_ == '"') goto next_key;
                if (*p_ != '}') return fail_offending(Syntax::KeyMustBeString, JsonFault::ExpectingPropertyName);
                ++p_;
                goto close_object;
            case '-':
            case '0':
            case '1':
            case '2':
            case '3':
            case '4':
            case '5':
            case '6':
            case '7':
            case '8':
            case '9':
                if (!number()) return ended_early(depth);
                break;
            case 'n':
                if (!literal("null", 4, Kind::Null)) return false;
                break;
            case 't':
                if (!literal("true", 4, Kind::True)) return false;
                break;
            case 'f':
                if (!literal("false", 5, Kind::False)) return false;
                break;
            default:
                return fail_offending(Syntax::ExpectedValue, JsonFault::ExpectingValue);
        }
    value_done:
        if (depth == 0) return true;
        if constexpr (kBuild || kSink) ++cur.count;
        skip_space();
        if (cur.object) goto after_member;
        if (p_ == end_) return fail_offending(Syntax::EofList, JsonFault::ExpectingDelimiter);
        if (*p_ == ',') {
            ++p_;
            skip_space();
            if (p_ == end_) return fail_offending(Syntax::EofValue, JsonFault::ExpectingValue);
            if (*p_ == ']') return trailing_comma(false);
            goto next_value;
        }
        if (*p_ != ']') return fail_offending(Syntax::ExpectedListEnd, JsonFault::ExpectingDelimiter);
        ++p_;
    close_array:
        if constexpr (kBuild) {
            Node& n = doc_->tape[cur.node];
            n.head = bits(Kind::Array) | (cur.count << kSizeShift);
            n.payload = doc_->tape.size();
        }
        if constexpr (kSink) {
            if (!sink_->close_array(cur.count)) return fail_sink();
        }
        goto closed;
    after_member:
        if (p_ == end_) return fail_offending(Syntax::EofObject, JsonFault::ExpectingDelimiter);
        if (*p_ == ',') {
            ++p_;
            skip_space();
            if (p_ == end_) return fail_offending(Syntax::EofValue, JsonFault::ExpectingPropertyName);
            if (*p_ == '"') goto next_key;
            if (*p_ == '}') return trailing_comma(true);
            return fail_offending(Syntax::KeyMustBeString, JsonFault::ExpectingPropertyName);
        }
        if (*p_ != '}') return fail_offending(Syntax::ExpectedObjectEnd, JsonFault::ExpectingDelimiter);
        ++p_;
    close_object:
        if constexpr (kBuild) close_object(cur.node, cur.mark);
        if constexpr (kSink) {
            if (!sink_->close_object(cur.count)) return fail_sink();
        }
    closed:
        --depth;
        cur = open_.pop();
        goto value_done;
    next_key: {
        // p_ is on the key's opening quote.
        ++p_;
        std::uint64_t key_head, key_offset;
        if (!string(key_head, key_offset)) return false;
        if constexpr (kSink) {
            if (!sink_->key(sink_bytes(key_head, key_offset), (key_head & kAsciiBit) != 0)) return fail_sink();
        }
        skip_space();
        if (p_ == end_) return fail_offending(Syntax::EofObject, JsonFault::ExpectingColon);
        if (*p_ != ':') return fail_offending(Syntax::ExpectedColon, JsonFault::ExpectingColon);
        ++p_;
        // The member's entry goes in before its value is read: the entries
        // of an object inside the value come after it and are gone again
        // when that object closes.
        if constexpr (kBuild) scratch_->push_back(Entry{key_offset, key_head, tape_size()});
        goto next_value;
    }
    }

    // Into the container whose bracket is at p_: the one around it waits
    // on open_, and p_ moves to what follows the bracket.
    [[gnu::always_inline]] void descend(Frame& cur, bool object) {
        ++p_;
        open_.push(cur);
        if constexpr (kBuild) {
            cur = Frame{tape_size(), 0, scratch_->size(), object};
        } else if constexpr (kSink) {
            cur = Frame{0, 0, 0, object};
        } else {
            cur = Frame{object};
        }
        push(bits(object ? Kind::Object : Kind::Array), 0);
        if (object) push(0, 0);  // filled with the first entry's index when the object closes
        skip_space();
    }

    bool literal(const char* word, std::size_t n, Kind kind) {
        if (static_cast<std::size_t>(end_ - p_) >= n && std::memcmp(p_, word, n) == 0) [[likely]] {
            p_ += n;
            return put(bits(kind), 0);
        }
        return literal_error(word, p_);
    }

    // The literal did not match: the first letter chose it, and the
    // mismatching letter (or the end of the text) is the one named. The
    // fast check failed, so one of the two comes before the word ends.
    // json finds no value at all there, and names the word's start.
    [[gnu::cold, gnu::noinline]] bool literal_error(const char* word, const char* start) {
        ++p_;
        for (std::size_t i = 1;; ++i) {
            if (p_ == end_) return fail_consumed(Syntax::EofValue, JsonFault::ExpectingValue, start);
            if (*p_++ != word[i]) return fail_consumed(Syntax::ExpectedIdent, JsonFault::ExpectingValue, start);
        }
    }

    std::string_view key(const Entry& e) const {
        const char* src = (e.key_head & kArenaBit) ? doc_->arena.data() : text_;
        return std::string_view(src + e.key_offset, e.key_head >> kSizeShift);
    }

    // The key's first eight bytes as a big-endian number, zero-padded: two
    // keys whose prefixes differ compare like the prefixes (a zero pad byte
    // sorts before any real byte, as a shorter key does).
    std::uint64_t key_prefix(const Entry& e) const {
        std::size_t len = e.key_head >> kSizeShift;
        if (len == 0) return 0;
        // The text read may not be the document's own yet (read in place):
        // keys are found through text_, as key() does.
        const bool arena = (e.key_head & kArenaBit) != 0;
        const char* src = arena ? doc_->arena.data() : text_;
        const std::size_t room = arena ? doc_->arena.size() - e.key_offset
                                       : static_cast<std::size_t>(end_ - text_) - e.key_offset;
        std::uint64_t x = 0;
        std::memcpy(&x, src + e.key_offset, room >= 8 ? 8 : std::min<std::size_t>(len, 8));
        x = __builtin_bswap64(x);
        if (len < 8) x &= ~std::uint64_t{0} << (8 * (8 - len));
        return x;
    }

    // pos: index among the object's entries, in document order.
    using SortKey = ScratchAccess::KeyOrder;

    int compare(const SortKey& a, const SortKey& b, const Entry* first) const {
        if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
        return key(first[a.pos]).compare(key(first[b.pos]));
    }

    // Moves the object's entries to the document sorted by key bytes; of
    // equal keys only the last one stays (a later duplicate replaces the
    // earlier value). Returns the number of entries kept.
    std::size_t close_entries(std::size_t mark) {
        const Entry* first = scratch_->data() + mark;
        const std::size_t n = scratch_->size() - mark;
        if (n <= 1) {
            doc_->entries.insert(doc_->entries.end(), first, first + n);
            return n;
        }
        std::vector<SortKey>& order = *order_;
        order.resize(n);
        for (std::size_t i = 0; i < n; ++i) order[i] = SortKey{key_prefix(first[i]), i};
        bool duplicates = false;
        if (n <= 16) {
            // Stable insertion sort; an equal key is met exactly where the
            // later entry stops, so duplicates are noticed for free.
            for (std::size_t i = 1; i < n; ++i) {
                SortKey x = order[i];
                std::size_t j = i;
                while (j > 0) {
                    int c = compare(order[j - 1], x, first);
                    if (c <= 0) {
                        duplicates |= c == 0;
                        break;
                    }
                    order[j] = order[j - 1];
                    --j;
                }
                order[j] = x;
            }
        } else {
            // The position breaks ties, so the unstable sort keeps equal keys
            // in document order.
            std::sort(order.begin(), order.end(), [&](const SortKey& a, const SortKey& b) {
                int c = compare(a, b, first);
                return c < 0 || (c == 0 && a.pos < b.pos);
            });
            duplicates = true;  // checked below
        }
        std::size_t kept = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (duplicates && i + 1 < n && compare(order[i], order[i + 1], first) == 0) continue;
            doc_->entries.push_back(first[order[i].pos]);
            ++kept;
        }
        return kept;
    }

    void close_object(std::size_t node, std::size_t mark) {
        std::uint64_t first_entry = doc_->entries.size();
        std::uint64_t n;
        if (options_.key_order == KeyOrder::Sorted) [[likely]] {
            n = close_entries(mark);
        } else {
            // As written, repeated keys and all: the one building a mapping
            // decides which member wins.
            n = scratch_->size() - mark;
            doc_->entries.insert(doc_->entries.end(), scratch_->begin() + static_cast<std::ptrdiff_t>(mark),
                                scratch_->end());
        }
        scratch_->resize(mark);
        doc_->tape[node].head = bits(Kind::Object) | (n << kSizeShift);
        doc_->tape[node].payload = doc_->tape.size();
        doc_->tape[node + 1].payload = first_entry;
    }

    // Entered just past the opening quote; leaves p_ past the closing one.
    bool string(std::uint64_t& head, std::uint64_t& offset) {
        const char* start = p_;
        unsigned high = 0;
        const char* stop = scan_string_run(p_, end_, high);
        if (stop != end_ && *stop == '"') [[likely]] {
            p_ = stop + 1;
            head = bits(Kind::String) | (high ? 0 : kAsciiBit) |
                   (static_cast<std::uint64_t>(stop - start) << kSizeShift);
            offset = static_cast<std::uint64_t>(start - text_);
            return true;
        }
        return escaped_string(start, stop, high != 0, head, offset);
    }

    // The string has an escape, a control byte, or no end: decode it into
    // the arena from the first escape on.
    bool escaped_string(const char* start, const char* stop, bool non_ascii, std::uint64_t& head,
                        std::uint64_t& offset) {
        if constexpr (kBuild) {
            return decode_string(doc_->arena, start, stop, non_ascii, head, offset);
        } else if constexpr (kSink) {
            // The sink has copied the string decoded before: the arena holds
            // one at a time.
            arena_.clear();
            return decode_string(arena_, start, stop, non_ascii, head, offset);
        } else {
            NoBytes none;
            return decode_string(none, start, stop, non_ascii, head, offset);
        }
    }

    template <class Out>
    bool decode_string(Out& out, const char* start, const char* stop, bool non_ascii, std::uint64_t& head,
                       std::uint64_t& offset) {
        std::size_t out_start = out.size();
        const char* const quote = start - 1;
        bool after_unicode = false;  // the last escape was a \u one
        for (;;) {
            if (stop == end_) return unterminated(quote, after_unicode && start == end_);
            p_ = stop + 1;
            char c = *stop;
            if (c == '"') break;
            if (c != '\\') return fail_consumed(Syntax::ControlCharacter, JsonFault::InvalidControl);
            out.append(start, stop);
            after_unicode = false;
            if (p_ == end_) return fail_at_end(Syntax::EofString, JsonFault::UnterminatedString, quote);
            switch (*p_++) {
                case '"':
                    out.push_back('"');
                    break;
                case '\\':
                    out.push_back('\\');
                    break;
                case '/':
                    out.push_back('/');
                    break;
                case 'b':
                    out.push_back('\b');
                    break;
                case 'f':
                    out.push_back('\f');
                    break;
                case 'n':
                    out.push_back('\n');
                    break;
                case 'r':
                    out.push_back('\r');
                    break;
                case 't':
                    out.push_back('\t');
                    break;
                case 'u': {
                    std::uint32_t cp = 0;
                    if (!unicode_escape(cp)) {
                        if (json_fault_ == JsonFault::UnterminatedString) json_at_ = static_cast<std::size_t>(quote - base_);
                        return false;
                    }
                    non_ascii |= cp >= 0x80;
                    append_utf8(out, cp);
                    after_unicode = true;
                    break;
                }
                default:
                    return fail_consumed(Syntax::InvalidEscape, JsonFault::InvalidEscape, p_ - 2);
            }
            start = p_;
            unsigned high = 0;
            stop = scan_string_run(p_, end_, high);
            non_ascii |= high != 0;
        }
        out.append(start, stop);
        std::size_t length = out.size() - out_start;
        head = bits(Kind::String) | kArenaBit | (non_ascii ? 0 : kAsciiBit) |
               (static_cast<std::uint64_t>(length) << kSizeShift);
        offset = out_start;
        return true;
    }

    // A string that the text ends in. json reads the four digits of a \u
    // escape only when a byte follows them, and so names an escape that
    // ends the text, at its "u".
    [[gnu::cold, gnu::noinline]] bool unterminated(const char* quote, bool unicode_at_end) {
        if (unicode_at_end) return fail_at_end(Syntax::EofString, JsonFault::InvalidUnicodeEscape, end_ - 5);
        return fail_at_end(Syntax::EofString, JsonFault::UnterminatedString, quote);
    }

    // Four hex digits; all four count as read before a bad one is reported.
    // json names a bad or cut escape by its "u".
    bool hex4(std::uint32_t& unit) {
        if (end_ - p_ < 4) return fail_at_end(Syntax::EofString, JsonFault::InvalidUnicodeEscape, p_ - 1);
        const auto* u = reinterpret_cast<const unsigned char*>(p_);
        unsigned a = kHexValue.v[u[0]], b = kHexValue.v[u[1]], c = kHexValue.v[u[2]], d = kHexValue.v[u[3]];
        p_ += 4;
        if ((a | b | c | d) > 0xF) return fail_consumed(Syntax::InvalidEscape, JsonFault::InvalidUnicodeEscape, p_ - 5);
        unit = (a << 12) | (b << 8) | (c << 4) | d;
        return true;
    }

    // Entered just past "\u".
    bool unicode_escape(std::uint32_t& cp) {
        std::uint32_t unit = 0;
        if (!hex4(unit)) return false;
        if (unit - 0xDC00 < 0x400) return fail_consumed(Syntax::LoneTrailingSurrogate);
        if (unit - 0xD800 >= 0x400) {
            cp = unit;
            return true;
        }
        // A high surrogate needs its low half right after it. json takes
        // one that ends the text as a cut escape, and one with no escape
        // after it as a character; it then goes on to the string's end.
        if (p_ == end_) return fail_at_end(Syntax::EofString, JsonFault::InvalidUnicodeEscape, p_ - 5);
        if (*p_++ != '\\') return fail_consumed(Syntax::UnexpectedEndOfHexEscape);
        if (p_ == end_) return fail_at_end(Syntax::EofString, JsonFault::UnterminatedString);
        if (*p_++ != 'u') return fail_consumed(Syntax::UnexpectedEndOfHexEscape);
        std::uint32_t low = 0;
        if (!hex4(low)) return false;
        if (low - 0xDC00 >= 0x400) return fail_consumed(Syntax::LoneSurrogate);
        cp = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        return true;
    }

    // Inlined where values are read, as it was while containers recursed:
    // the loop that reads them is now large enough for the compiler to
    // keep it apart, and numbers are most of the values of many files.
    [[gnu::always_inline]] bool number() {
        const char* start = p_;
        bool negative = false;
        if (*p_ == '-') {
            negative = true;
            ++p_;
            if (p_ == end_) return fail_consumed(Syntax::EofValue, JsonFault::ExpectingValue, start);
        }
        if (!is_digit(static_cast<unsigned char>(*p_))) {
            ++p_;
            return fail_consumed(Syntax::InvalidNumber, JsonFault::ExpectingValue, start);
        }
        std::uint64_t s = 0;
        std::int64_t e = 0;  // decimal exponent of the last digit kept in s
        bool is_float = false;
        bool exact = true;   // no digit was dropped from s
        bool wide = false;   // the integer part passed 64 bits
        if (*p_ == '0') {
            ++p_;
            if (p_ != end_ && is_digit(static_cast<unsigned char>(*p_)))
                return fail_offending(Syntax::InvalidNumber, JsonFault::ExtraData);
        } else {
            // Nineteen digits always fit in 64 bits; only later ones are checked.
            const char* digits = p_;
            const char* fits = end_ - digits > 19 ? digits + 19 : end_;
            while (fits - p_ >= 8) {
                std::uint64_t run;
                const unsigned n = leading_digits(p_, run);
                s = s * kPowersOfTen[n] + run;
                p_ += n;
                if (n < 8) break;
            }
            while (p_ != fits && is_digit(static_cast<unsigned char>(*p_))) s = s * 10 + (*p_++ - '0');
            while (p_ != end_ && is_digit(static_cast<unsigned char>(*p_))) {
                std::uint64_t next;
                if (__builtin_mul_overflow(s, 10u, &next) ||
                    __builtin_add_overflow(next, static_cast<unsigned>(*p_ - '0'), &next)) {
                    // Beyond 64 bits the literal is a float; the dropped
                    // digits only scale it.
                    is_float = true;
                    exact = false;
                    wide = true;
                    for (; p_ != end_ && is_digit(static_cast<unsigned char>(*p_)); ++p_) ++e;
                    break;
                }
                s = next;
                ++p_;
            }
        }
        const char* integer_end = p_;
        if (p_ != end_ && *p_ == '.') {
            is_float = true;
            ++p_;
            // json's number stops before a point with no digit after it.
            if (p_ == end_) return fail_offending(Syntax::EofValue, JsonFault::ExtraData, p_ - 1);
            if (!is_digit(static_cast<unsigned char>(*p_)))
                return fail_offending(Syntax::InvalidNumber, JsonFault::ExtraData, p_ - 1);
            // Digits that no longer fit are not needed here: the significand
            // is then far above 2^53 and the conversion reads the text itself.
            constexpr std::uint64_t kRoom = (std::numeric_limits<std::uint64_t>::max() - 9) / 10;
            constexpr std::uint64_t kRoom8 = (std::numeric_limits<std::uint64_t>::max() - 99999999) / 100000000;
            while (s <= kRoom8 && end_ - p_ >= 8) {
                std::uint64_t run;
                const unsigned n = leading_digits(p_, run);
                s = s * kPowersOfTen[n] + run;
                e -= n;
                p_ += n;
                if (n < 8) break;
            }
            for (; p_ != end_ && is_digit(static_cast<unsigned char>(*p_)); ++p_) {
                if (s <= kRoom) {
                    s = s * 10 + static_cast<unsigned>(*p_ - '0');
                    --e;
                } else {
                    exact = false;
                }
            }
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            is_float = true;
            ++p_;
            bool exp_negative = false;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) {
                exp_negative = *p_ == '-';
                ++p_;
            }
            // json's number stops before an exponent with no digit.
            if (p_ == end_) return fail_consumed(Syntax::EofValue, JsonFault::ExtraData, exponent_mark(p_));
            if (!is_digit(static_cast<unsigned char>(*p_))) {
                ++p_;
                return fail_consumed(Syntax::InvalidNumber, JsonFault::ExtraData, exponent_mark(p_ - 1));
            }
            std::int32_t x = 0;
            do {
                int d = *p_++ - '0';
                if (x > (std::numeric_limits<std::int32_t>::max() - d) / 10) {
                    // An exponent beyond 32 bits: only zero survives it.
                    if (s != 0 && !exp_negative) return fail_consumed(Syntax::NumberOutOfRange);
                    while (p_ != end_ && is_digit(static_cast<unsigned char>(*p_))) ++p_;
                    return put_float(negative ? -0.0 : 0.0);
                }
                x = x * 10 + d;
            } while (p_ != end_ && is_digit(static_cast<unsigned char>(*p_)));
            e = exp_negative ? e - x : e + x;
        }
        if (options_.exact_integers && p_ == integer_end) [[unlikely]] {
            // An integer literal: beyond 64 bits it stays exact, and "-0"
            // is the integer zero, as Python's int() reads them.
            if (wide || (negative && s - 1 >= (std::uint64_t{1} << 63))) {
                if (s == 0 && !wide) return put(bits(Kind::Unsigned), 0);
                if (options_.max_int_digits != 0 &&
                    static_cast<std::size_t>(p_ - start) - (negative ? 1 : 0) > options_.max_int_digits) {
                    p_ = start;  // the literal is named by its first byte
                    return fail_offending(Syntax::IntegerTooLong);
                }
                return put(bits(Kind::BigInt) | kAsciiBit | (static_cast<std::uint64_t>(p_ - start) << kSizeShift),
                           static_cast<std::uint64_t>(start - text_));
            }
        }
        if (!is_float) {
            if (!negative) return put(bits(Kind::Unsigned), s);
            if (s - 1 < (std::uint64_t{1} << 63)) return put(bits(Kind::Negative), std::uint64_t{0} - s);
            // -0 and integers below -2^63; the conversion rounds to nearest.
            return put_float(-static_cast<double>(s));
        }
        if constexpr (!kBuild && !kSink) {
            // Below 2^64 * 10^280 no literal rounds to infinity: only larger
            // ones need the conversion to be checked.
            if (e <= 280) return true;
        }
        if constexpr (kSink) {
            // A sink that has the conversion made elsewhere is handed the
            // parts of a literal that needs no text to convert.
            if constexpr (requires { sink_->decimal(s, e, negative); }) {
                if (detail::converts_fast(e, exact)) return sink_->decimal(s, e, negative) || fail_sink();
            }
        }
        double f;
        if (!detail::decimal_to_double_fast(start, p_, s, e, negative, exact, f))
            return fail_consumed(Syntax::NumberOutOfRange);
        return put_float(f);
    }

    // The "e" of an exponent whose digits were due at `at`.
    const char* exponent_mark(const char* at) const { return at[-1] == '+' || at[-1] == '-' ? at - 2 : at - 1; }

    bool put_float(double f) {
        std::uint64_t b;
        std::memcpy(&b, &f, sizeof b);
        return put(bits(Kind::Float), b);
    }

    // About a millisecond of parsing between two checks.
    static constexpr unsigned kValuesBetweenChecks = 1u << 16;
    InterruptCheck check_;
    const ReadOptions options_;  // a copy: read in the hot path without aliasing doubts
    unsigned until_check_ = kValuesBetweenChecks;
    bool interrupted_ = false;

    const char* text_;  // start of the owned text: string offsets count from here
    const char* base_;  // start of the parsed range: error positions count from here
    const char* p_;
    const char* end_;
    // Compacting only: where the next byte goes, and the first byte read
    // but not yet written.
    char* out_ = nullptr;
    char* out_end_ = nullptr;
    const char* copy_from_ = nullptr;
    // With a sink: where it goes, and the one string decoded for it.
    Sink* sink_ = nullptr;
    std::string arena_;
    // Building only.
    Document* doc_ = nullptr;
    std::vector<Entry>* scratch_ = nullptr;  // entries of the objects still open
    std::vector<SortKey>* order_ = nullptr;  // reused by every object's sort
    const unsigned max_depth_ = options_.max_depth;
    OpenStack<Frame> open_;
    Syntax error_syntax_ = Syntax::EofValue;
    std::size_t error_at_ = 0;
    JsonFault json_fault_ = JsonFault::None;
    std::size_t json_at_ = 0;
};

// The one value of `text`, white space around it allowed, to `sink`: the
// errors of read_json_text, or one marked interrupted when the sink or the
// check stopped the read.
template <class Sink>
std::optional<JsonParseError> read_json_into(std::string_view text, Sink& sink, const ReadOptions& options,
                                             InterruptCheck check) {
    Reader<false, false, Sink> reader(text, options, sink, check);
    if (!reader.run()) return reader.error();
    return std::nullopt;
}

// The value at the front of `text`, as read_json_front takes it, to `sink`;
// nullopt when the text does not start that way, or when the sink stopped
// the read (`stopped` then set). The sink may hold values of a read that
// failed.
template <class Sink>
std::optional<FrontValue> read_json_front_into(std::string_view text, Sink& sink, const ReadOptions& options,
                                               bool& stopped) {
    FrontValue front;
    Reader<false, false, Sink> reader(text, options, sink, nullptr);
    stopped = false;
    if (reader.run_front(front)) return front;
    stopped = reader.stopped();
    return std::nullopt;
}

}  // namespace

}  // namespace qvtok::json
