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
#include <span>
#include <string>
#include <vector>

#include "../../json/value.hpp"

namespace qvtok::bigjson {

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

// The shape of the values at one position, in their order (for the records
// themselves: file order). The values are only read, never copied; their
// documents must stay alive and in place until the call returns. An empty
// list gives the text "unknown". Never fails.
SchemaNode infer_schema(std::span<const json::Value> values);

// The shape of arrays sharing one position: an empty array when all of them
// are empty, otherwise one element describing all their elements together.
// Meant for a non-empty list of arrays; values of other kinds are ignored,
// and a list without arrays gives "unknown".
SchemaNode merge_arrays(std::span<const json::Value> arrays);

// The shape of objects sharing one position: one field per distinct key,
// named with a trailing "?" when some of the objects lack the key (a key
// held with the value null counts as present). Should two keys end with the
// same name ("a" missing somewhere, "a?" everywhere), the one that first
// occurs later wins. Meant for a non-empty list of objects; values of other
// kinds are ignored, and a list without objects gives "unknown".
SchemaNode merge_objects(std::span<const json::Value> objects);

}  // namespace qvtok::bigjson
