// Structure inference: folds the values found at one position of many
// records into one description of their shared shape. The description holds
// only three kinds of node:
//   - text:   a type expression such as "int|str" (or "unknown" for nothing),
//   - array:  no element (every array was empty) or exactly one element, the
//             shape of all the elements; a union's variant list is also an
//             array, of two or three nodes,
//   - object: named fields in byte-wise order of their names; a union is an
//             object whose single field "__oneof__" lists its variants.
// No Python.h here: the schema operation renders the result as text.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/json/value.hpp"

namespace qvtok::schema {

struct SchemaField;

struct SchemaNode {
    enum class Form : std::uint8_t { Text, Array, Object };

    Form form = Form::Text;
    std::string text;                 // Text only
    std::vector<SchemaNode> items;    // Array only
    std::vector<SchemaField> fields;  // Object only, ascending byte order of name

    static SchemaNode make_text(std::string text);
    static SchemaNode make_array(std::vector<SchemaNode> items = {});
    static SchemaNode make_object(std::vector<SchemaField> fields = {});

    bool operator==(const SchemaNode&) const = default;
};

struct SchemaField {
    std::string name;  // the key as read, plus "?" when some objects lack it
    SchemaNode schema;

    bool operator==(const SchemaField&) const = default;
};

// Folds records one at a time, in file order, into the shape they share.
// Only the tallies the shape depends on are kept (keys are copied), so a
// record may be dropped as soon as it has been added.
class SchemaBuilder {
public:
    SchemaBuilder();
    ~SchemaBuilder();
    SchemaBuilder(const SchemaBuilder&) = delete;
    SchemaBuilder& operator=(const SchemaBuilder&) = delete;

    void add(json::Value record);
    // The shape of everything added; the text "unknown" when nothing was.
    SchemaNode finish() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The shape of the values at one position, in their order: the same result
// as adding them to a SchemaBuilder one by one. Never fails.
SchemaNode infer_schema(std::span<const json::Value> values);

}  // namespace qvtok::schema
