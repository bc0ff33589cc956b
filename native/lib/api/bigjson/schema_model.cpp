#include "schema_model.hpp"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace qvtok::bigjson {

SchemaNode SchemaNode::make_text(std::string text) {
    SchemaNode node;
    node.form = Form::Text;
    node.text = std::move(text);
    return node;
}

SchemaNode SchemaNode::make_array(std::vector<SchemaNode> items) {
    SchemaNode node;
    node.form = Form::Array;
    node.items = std::move(items);
    return node;
}

SchemaNode SchemaNode::make_object(std::vector<SchemaField> fields) {
    SchemaNode node;
    node.form = Form::Object;
    node.fields = std::move(fields);
    return node;
}

namespace {

// One bit per scalar type name. The bit order is the byte order of the
// names, so joining the set bits from low to high gives a sorted expression.
enum TypeBit : unsigned {
    kBool = 1u << 0,
    kFloat = 1u << 1,
    kInt = 1u << 2,
    kNull = 1u << 3,
    kStr = 1u << 4,
};

constexpr std::string_view kTypeNames[] = {"bool", "float", "int", "null", "str"};

// Scalar kinds map to their type bit; containers map to 0.
constexpr unsigned type_bit(json::Kind kind) {
    switch (kind) {
        case json::Kind::Null: return kNull;
        case json::Kind::False:
        case json::Kind::True: return kBool;
        case json::Kind::Unsigned:
        case json::Kind::Negative: return kInt;
        case json::Kind::Float: return kFloat;
        case json::Kind::String: return kStr;
        case json::Kind::Array:
        case json::Kind::Object: break;
    }
    return 0;
}

SchemaNode type_expression(unsigned types) {
    std::string text;
    for (unsigned i = 0; i < std::size(kTypeNames); ++i) {
        if ((types & (1u << i)) == 0) continue;
        if (!text.empty()) text += '|';
        text += kTypeNames[i];
    }
    return SchemaNode::make_text(std::move(text));
}

constexpr std::uint32_t kNoSlot = UINT32_MAX;

// A distinct key at one object position, with the values it holds there in
// the order of the objects.
struct KeySlot {
    std::string_view key;  // points into the record that first held the key
    std::vector<json::Value> values;
    // The slot that came right after this one in the last object holding it:
    // records of one position tend to repeat the same key sequence, so this
    // predicts the next key without hashing.
    std::uint32_t next = kNoSlot;
};

}  // namespace

SchemaNode merge_arrays(std::span<const json::Value> arrays) {
    std::size_t total = 0;
    for (const json::Value& a : arrays) total += a.size();
    if (total == 0) return SchemaNode::make_array();

    std::vector<json::Value> elements;
    elements.reserve(total);
    for (const json::Value& a : arrays) {
        for (json::Value e : a.elements()) elements.push_back(e);
    }
    std::vector<SchemaNode> items;
    items.push_back(infer_schema(elements));
    return SchemaNode::make_array(std::move(items));
}

SchemaNode merge_objects(std::span<const json::Value> objects) {
    // Gather every key's values in one pass over the members. Slots are
    // created in first-occurrence order (objects in list order, each one's
    // members in its ascending key order), which is the order that settles
    // name collisions below.
    std::vector<KeySlot> slots;
    std::unordered_map<std::string_view, std::uint32_t> slot_of;
    std::uint32_t first_slot = kNoSlot;  // slot of the last object's first key
    for (const json::Value& object : objects) {
        std::uint32_t prev = kNoSlot;
        for (const json::Member member : object.members()) {
            std::uint32_t guess = prev == kNoSlot ? first_slot : slots[prev].next;
            std::uint32_t slot;
            if (guess != kNoSlot && slots[guess].key == member.key) {
                slot = guess;
            } else {
                auto [it, inserted] =
                    slot_of.try_emplace(member.key, static_cast<std::uint32_t>(slots.size()));
                if (inserted) slots.push_back(KeySlot{member.key, {}, kNoSlot});
                slot = it->second;
            }
            if (prev == kNoSlot) {
                first_slot = slot;
            } else {
                slots[prev].next = slot;
            }
            slots[slot].values.push_back(member.value);
            prev = slot;
        }
    }
    slot_of.clear();

    // A key missing from some objects is named with a trailing "?", so two
    // keys can end up with one name ("a" missing somewhere, "a?" everywhere).
    // Then the key noted later wins; the stable sort keeps equal names in
    // noted order, so the last of each run is the winner.
    struct Named {
        std::string name;
        std::uint32_t slot;
    };
    std::vector<Named> named;
    named.reserve(slots.size());
    for (std::uint32_t i = 0; i < slots.size(); ++i) {
        std::string name(slots[i].key);
        if (slots[i].values.size() < objects.size()) name += '?';
        named.push_back(Named{std::move(name), i});
    }
    std::stable_sort(named.begin(), named.end(),
                     [](const Named& a, const Named& b) { return a.name < b.name; });

    std::vector<SchemaField> fields;
    fields.reserve(named.size());
    for (std::size_t i = 0; i < named.size(); ++i) {
        if (i + 1 < named.size() && named[i + 1].name == named[i].name) continue;
        std::vector<json::Value>& values = slots[named[i].slot].values;
        SchemaNode schema = infer_schema(values);
        // The values are no longer needed; drop them before the next key
        // recurses so that only one path of lists is alive at a time.
        std::vector<json::Value>().swap(values);
        fields.push_back(SchemaField{std::move(named[i].name), std::move(schema)});
    }
    return SchemaNode::make_object(std::move(fields));
}

SchemaNode infer_schema(std::span<const json::Value> values) {
    if (values.empty()) return SchemaNode::make_text("unknown");

    unsigned types = 0;
    std::size_t arrays = 0;
    std::size_t objects = 0;
    for (const json::Value& v : values) {
        json::Kind kind = v.kind();
        if (kind == json::Kind::Object) {
            ++objects;
        } else if (kind == json::Kind::Array) {
            ++arrays;
        } else {
            types |= type_bit(kind);
        }
    }

    // One group: the list is already the group, no need to split it.
    if (arrays == 0 && objects == 0) return type_expression(types);
    if (types == 0 && objects == 0) return merge_arrays(values);
    if (types == 0 && arrays == 0) return merge_objects(values);

    std::vector<json::Value> array_list;
    std::vector<json::Value> object_list;
    array_list.reserve(arrays);
    object_list.reserve(objects);
    for (const json::Value& v : values) {
        json::Kind kind = v.kind();
        if (kind == json::Kind::Object) {
            object_list.push_back(v);
        } else if (kind == json::Kind::Array) {
            array_list.push_back(v);
        }
    }

    // Variants in a fixed order: scalars, arrays, objects.
    std::vector<SchemaNode> variants;
    variants.reserve(3);
    if (types != 0) variants.push_back(type_expression(types));
    if (!array_list.empty()) variants.push_back(merge_arrays(array_list));
    if (!object_list.empty()) variants.push_back(merge_objects(object_list));

    std::vector<SchemaField> fields;
    fields.push_back(SchemaField{"__oneof__", SchemaNode::make_array(std::move(variants))});
    return SchemaNode::make_object(std::move(fields));
}

}  // namespace qvtok::bigjson
