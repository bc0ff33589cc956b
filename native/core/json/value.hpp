// A parsed JSON document: one contiguous tape of 16-byte nodes in document
// order, object entries in a side table (sorted by key, unless the reader
// was asked to keep the text's order), string bytes either in
// the document's own text (no escapes) or in an arena (escapes decoded).
// Values are read through the light `Value` handle; nothing is a heap node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace qvtok::json {

enum class Kind : std::uint8_t {
    Null,
    False,
    True,
    Unsigned,  // integer 0 ..= 2^64-1
    Negative,  // integer -2^63 ..= -1
    Float,     // finite double (also -0, and integers beyond 64 bits)
    String,
    Array,
    Object,
    // An integer beyond 64 bits, kept exact: its string is the literal's
    // text (an optional '-' and the digits). Only when the reader was asked
    // for exact integers; otherwise such a literal is a Float.
    BigInt,
};

// head: bits 0..3 kind, bit 4 string is ASCII, bit 5 string lives in the
// arena (a BigInt is laid out as a string of the text), bits 8..63 string
// byte length or container element count.
// payload: number bits; string byte offset; for containers the tape index one
// past the container's last descendant. An object node is followed by one
// auxiliary node whose payload is the index of its first entry.
struct Node {
    std::uint64_t head;
    std::uint64_t payload;
};

inline constexpr std::uint64_t kAsciiBit = 1u << 4;
inline constexpr std::uint64_t kArenaBit = 1u << 5;
inline constexpr unsigned kSizeShift = 8;

// One object member: the key's bytes and the tape index of its value.
struct Entry {
    std::uint64_t key_offset;
    std::uint64_t key_head;  // same layout as a string node's head
    std::uint64_t value;
};

class Document;

class Value {
public:
    Value(const Document* doc, std::size_t index) : doc_(doc), index_(index) {}

    Kind kind() const;
    std::size_t index() const { return index_; }
    const Document& document() const { return *doc_; }

    bool is_ascii() const;               // String only
    std::string_view str() const;        // String, or BigInt: its literal
    std::uint64_t as_unsigned() const;   // Unsigned only
    std::int64_t as_negative() const;    // Negative only
    double as_float() const;             // Float only
    std::size_t size() const;            // Array or Object: element count

    // Tape index just past this value and everything below it.
    std::size_t end() const;

    class ArrayIter;
    class ObjectIter;
    struct ArrayRange;
    struct ObjectRange;
    ArrayRange elements() const;   // Array only
    // Object only, in the document's key order: ascending bytes, or as
    // written when the reader kept the text's order.
    ObjectRange members() const;

private:
    const Document* doc_;
    std::size_t index_;
};

// A member as the object hands it out.
struct Member {
    std::string_view key;
    bool key_ascii;
    Value value;
};

class Document {
public:
    Document() = default;
    Document(Document&&) noexcept = default;
    Document& operator=(Document&&) noexcept = default;
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    Value root() const { return Value(this, 0); }

    // Storage, filled by the reader.
    std::string text;               // the text that was parsed (owned)
    std::string arena;              // strings whose escapes were decoded
    std::vector<Node> tape;
    std::vector<Entry> entries;

    std::string_view bytes(std::uint64_t head, std::uint64_t offset) const {
        const std::string& src = (head & kArenaBit) ? arena : text;
        return std::string_view(src.data() + offset, head >> kSizeShift);
    }
};

inline Kind Value::kind() const { return static_cast<Kind>(doc_->tape[index_].head & 0xF); }
inline bool Value::is_ascii() const { return doc_->tape[index_].head & kAsciiBit; }
inline std::string_view Value::str() const {
    const Node& n = doc_->tape[index_];
    return doc_->bytes(n.head, n.payload);
}
inline std::uint64_t Value::as_unsigned() const { return doc_->tape[index_].payload; }
inline std::int64_t Value::as_negative() const {
    return static_cast<std::int64_t>(doc_->tape[index_].payload);
}
inline double Value::as_float() const {
    double d;
    std::memcpy(&d, &doc_->tape[index_].payload, sizeof d);
    return d;
}
inline std::size_t Value::size() const { return doc_->tape[index_].head >> kSizeShift; }
inline std::size_t Value::end() const {
    const Node& n = doc_->tape[index_];
    Kind k = static_cast<Kind>(n.head & 0xF);
    return (k == Kind::Array || k == Kind::Object) ? n.payload : index_ + 1;
}

class Value::ArrayIter {
public:
    ArrayIter(const Document* doc, std::size_t index, std::size_t left)
        : doc_(doc), index_(index), left_(left) {}
    Value operator*() const { return Value(doc_, index_); }
    ArrayIter& operator++() {
        index_ = Value(doc_, index_).end();
        --left_;
        return *this;
    }
    bool operator!=(const ArrayIter& other) const { return left_ != other.left_; }

private:
    const Document* doc_;
    std::size_t index_;
    std::size_t left_;
};

class Value::ObjectIter {
public:
    ObjectIter(const Document* doc, const Entry* at) : doc_(doc), at_(at) {}
    Member operator*() const {
        return Member{doc_->bytes(at_->key_head, at_->key_offset), (at_->key_head & kAsciiBit) != 0,
                      Value(doc_, at_->value)};
    }
    ObjectIter& operator++() {
        ++at_;
        return *this;
    }
    bool operator!=(const ObjectIter& other) const { return at_ != other.at_; }

private:
    const Document* doc_;
    const Entry* at_;
};

struct Value::ArrayRange {
    ArrayIter first, last;
    ArrayIter begin() const { return first; }
    ArrayIter end() const { return last; }
};

struct Value::ObjectRange {
    ObjectIter first, last;
    ObjectIter begin() const { return first; }
    ObjectIter end() const { return last; }
};

inline Value::ArrayRange Value::elements() const {
    return {ArrayIter(doc_, index_ + 1, size()), ArrayIter(doc_, 0, 0)};
}

inline Value::ObjectRange Value::members() const {
    const Entry* first = doc_->entries.data() + doc_->tape[index_ + 1].payload;
    return {ObjectIter(doc_, first), ObjectIter(doc_, first + size())};
}

}  // namespace qvtok::json
