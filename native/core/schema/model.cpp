#include "core/schema/model.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace qvtok::schema {

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

constexpr std::uint32_t kNoKey = UINT32_MAX;

struct Position;

// One distinct key of the objects at a position.
struct KeyTally {
    std::string key;       // copied: records are dropped once folded
    std::uint64_t held;    // objects at the position that hold it
    Position* child;       // where its values go
    // The key that came right after this one in the last object holding it:
    // the objects of one position tend to repeat one key sequence, so this
    // predicts the next key without hashing.
    std::uint32_t next;
};

// What the values at one position of the records add up to. The schema of a
// position depends only on: the set of scalar type names; whether arrays
// occurred and how many elements they held in all; the number of objects;
// and, per distinct key in first-occurrence order, how many of those objects
// held it. Each record is therefore walked once, depth first, and only these
// tallies are kept: no value is copied or even listed, and a record's bytes
// are visited together instead of once per position.
//
// Walking the records in order, each record depth first, meets the values of
// every position in the order of the lists of the step-by-step merge (records
// in order, array elements concatenated, a key's values in the order of their
// objects), so first occurrences, and with them the name collision rule,
// come out the same.
struct Position {
    unsigned types = 0;
    std::uint64_t arrays = 0;
    std::uint64_t elements = 0;
    std::uint64_t objects = 0;
    Position* element_child = nullptr;
    std::uint32_t first_key = kNoKey;  // first key of the last object seen here
    // First-occurrence order. A deque, so that the index's views of the keys
    // stay valid as it grows.
    std::deque<KeyTally> keys;
    std::unordered_map<std::string_view, std::uint32_t> key_index;
};

class Folder {
public:
    // A deque, so that growing it never moves a position that a caller
    // further up the walk still points to.
    Position* new_position() { return &positions_.emplace_back(); }

    void add(Position& p, json::Value v) {
        switch (json::Kind kind = v.kind()) {
            case json::Kind::Array: add_array(p, v); return;
            case json::Kind::Object: add_object(p, v); return;
            default: p.types |= type_bit(kind); return;
        }
    }

    void add_array(Position& p, json::Value array) {
        ++p.arrays;
        std::size_t n = array.size();
        if (n == 0) return;
        p.elements += n;
        if (p.element_child == nullptr) p.element_child = new_position();
        Position& child = *p.element_child;
        for (json::Value e : array.elements()) add(child, e);
    }

    void add_object(Position& p, json::Value object) {
        ++p.objects;
        std::uint32_t prev = kNoKey;
        for (const json::Member member : object.members()) {
            std::uint32_t slot = find_key(p, prev, member.key);
            if (prev == kNoKey) {
                p.first_key = slot;
            } else {
                p.keys[prev].next = slot;
            }
            prev = slot;
            KeyTally& k = p.keys[slot];
            ++k.held;
            add(*k.child, member.value);  // a child never adds keys to p
        }
    }

    static SchemaNode build(const Position& p) {
        bool has_objects = p.objects != 0;
        bool has_arrays = p.arrays != 0;
        int groups = (p.types != 0) + has_arrays + has_objects;
        if (groups == 0) return SchemaNode::make_text("unknown");
        if (groups == 1) {
            if (has_objects) return build_object(p);
            if (has_arrays) return build_array(p);
            return type_expression(p.types);
        }
        // Variants in a fixed order: scalars, arrays, objects.
        std::vector<SchemaNode> variants;
        variants.reserve(3);
        if (p.types != 0) variants.push_back(type_expression(p.types));
        if (has_arrays) variants.push_back(build_array(p));
        if (has_objects) variants.push_back(build_object(p));
        std::vector<SchemaField> fields;
        fields.push_back(SchemaField{"__oneof__", SchemaNode::make_array(std::move(variants))});
        return SchemaNode::make_object(std::move(fields));
    }

private:
    std::uint32_t find_key(Position& p, std::uint32_t prev, std::string_view key) {
        std::uint32_t guess = prev == kNoKey ? p.first_key : p.keys[prev].next;
        if (guess != kNoKey && p.keys[guess].key == key) return guess;
        auto found = p.key_index.find(key);
        if (found != p.key_index.end()) return found->second;
        auto slot = static_cast<std::uint32_t>(p.keys.size());
        const KeyTally& k = p.keys.emplace_back(KeyTally{std::string(key), 0, new_position(), kNoKey});
        p.key_index.emplace(k.key, slot);
        return slot;
    }

    static SchemaNode build_array(const Position& p) {
        if (p.elements == 0) return SchemaNode::make_array();
        std::vector<SchemaNode> items;
        items.push_back(build(*p.element_child));
        return SchemaNode::make_array(std::move(items));
    }

    static SchemaNode build_object(const Position& p) {
        // A key missing from some objects is named with a trailing "?", so
        // two keys can end up with one name ("a" missing somewhere, "a?"
        // everywhere). Then the key noted later wins; the stable sort keeps
        // equal names in noted order, so the last of each run is the winner.
        struct Named {
            std::string name;
            const KeyTally* key;
        };
        std::vector<Named> named;
        named.reserve(p.keys.size());
        for (const KeyTally& k : p.keys) {
            std::string name(k.key);
            if (k.held < p.objects) name += '?';
            named.push_back(Named{std::move(name), &k});
        }
        std::stable_sort(named.begin(), named.end(),
                         [](const Named& a, const Named& b) { return a.name < b.name; });

        std::vector<SchemaField> fields;
        fields.reserve(named.size());
        for (std::size_t i = 0; i < named.size(); ++i) {
            if (i + 1 < named.size() && named[i + 1].name == named[i].name) continue;
            SchemaNode schema = build(*named[i].key->child);
            fields.push_back(SchemaField{std::move(named[i].name), std::move(schema)});
        }
        return SchemaNode::make_object(std::move(fields));
    }

    std::deque<Position> positions_;
};

}  // namespace

struct SchemaBuilder::State {
    Folder folder;
    Position* root = folder.new_position();
};

SchemaBuilder::SchemaBuilder() : state_(std::make_unique<State>()) {}
SchemaBuilder::~SchemaBuilder() = default;

void SchemaBuilder::add(json::Value record) { state_->folder.add(*state_->root, record); }

SchemaNode SchemaBuilder::finish() const { return Folder::build(*state_->root); }

SchemaNode infer_schema(std::span<const json::Value> values) {
    SchemaBuilder builder;
    for (const json::Value& v : values) builder.add(v);
    return builder.finish();
}

}  // namespace qvtok::schema
