// Structure inference: folds the values found at one position of many
// records into one description of their shared shape. A position (the root,
// a key's values, an array's elements) is described by what occurred there:
//   - scalars: a type expression such as "int|str";
//   - arrays:  the position of all their elements, or none when every array
//              was empty;
//   - objects: named fields in byte-wise order of their names, a name being
//              the key plus "?" when some objects lack it.
// Nothing at all is "unknown"; several of the three make a union whose
// variants come in that order. No Python.h here: the schema operation
// renders the result as text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json/reader.hpp"
#include "core/json/value.hpp"

namespace qvtok::schema {

namespace detail {
struct Tallies;
}

// The shape of the records a SchemaBuilder was given, read position by
// position. It owns its tallies; positions and fields handed out stay valid
// as long as it lives.
class Schema {
public:
    class Position;
    class Fields;

    Schema(Schema&&) noexcept;
    Schema& operator=(Schema&&) noexcept;
    ~Schema();

    Position root() const;

private:
    friend class SchemaBuilder;
    explicit Schema(std::unique_ptr<detail::Tallies> tallies);
    std::unique_ptr<detail::Tallies> tallies_;
};

class Schema::Position {
public:
    // The scalar type names joined by "|" in byte order; empty when no
    // scalar occurred here.
    std::string type_expression() const;
    bool has_arrays() const;
    // False when every array was empty (or none occurred).
    bool has_elements() const;
    Position elements() const;  // only when has_elements()
    bool has_objects() const;
    Fields fields() const;  // only when has_objects()

private:
    friend class Schema;
    friend class Fields;
    Position(const detail::Tallies* tallies, std::uint32_t id) : tallies_(tallies), id_(id) {}
    const detail::Tallies* tallies_;
    std::uint32_t id_;
};

// The fields of the objects at one position, in byte order of their names.
// Two keys can end up with one name ("a" missing somewhere, "a?"
// everywhere); then only the key noted later is listed.
class Schema::Fields {
public:
    std::size_t size() const { return ids_.size(); }
    // The key as read; the field's name is the key plus "?" if optional.
    std::string_view key(std::size_t i) const;
    bool optional(std::size_t i) const;
    Position schema(std::size_t i) const;

private:
    friend class Position;
    Fields(const detail::Tallies* tallies, std::uint32_t parent, std::vector<std::uint32_t> ids)
        : tallies_(tallies), parent_(parent), ids_(std::move(ids)) {}
    const detail::Tallies* tallies_;
    std::uint32_t parent_;
    std::vector<std::uint32_t> ids_;
};

// Folds records one at a time, in file order, into the shape they share.
// Only the tallies the shape depends on are kept (keys are copied, once per
// distinct key path), so a record may be dropped as soon as it has been
// added. Memory grows with the distinct positions, not with the records:
// a 40-byte node each, plus for a key its bytes and a slot of a shared
// table (8 bytes, at most three quarters full).
//
// A record can be large and the records many, so the fold asks `check`
// every so many values, as the reader does: a caller that holds the
// interpreter passes its signal check, so that Ctrl-C stops a long run.
class SchemaBuilder {
public:
    explicit SchemaBuilder(json::InterruptCheck check = nullptr);
    ~SchemaBuilder();
    SchemaBuilder(const SchemaBuilder&) = delete;
    SchemaBuilder& operator=(const SchemaBuilder&) = delete;

    // False when the check stopped the fold: the record is then folded in
    // only in part, and what the builder holds is fit only to be dropped.
    [[nodiscard]] bool add(json::Value record);
    // The shape of everything added; its root is "unknown" when nothing was.
    // The tallies move into the result, so the builder starts over empty.
    Schema finish();

private:
    std::unique_ptr<detail::Tallies> tallies_;
    json::InterruptCheck check_;
};

}  // namespace qvtok::schema
