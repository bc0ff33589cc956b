#include "core/schema/model.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <new>
#include <random>
#include <string_view>
#include <utility>
#include <vector>

#include "core/schema/key_hash.hpp"

namespace qvtok::schema {

namespace {

// One bit per scalar type name. The bit order is the byte order of the
// names, so joining the set bits from low to high gives a sorted expression.
enum TypeBit : unsigned {
    kBool = 1u << 0,
    kFloat = 1u << 1,
    kInt = 1u << 2,
    kNull = 1u << 3,
    kStr = 1u << 4,
    kScalarBits = 0x1F,
    kArrays = 1u << 5,  // not a type: arrays occurred
};

constexpr std::string_view kTypeNames[] = {"bool", "float", "int", "null", "str"};

// Scalar kinds map to their type bit; containers map to 0.
constexpr unsigned type_bit(json::Kind kind) {
    switch (kind) {
        case json::Kind::Null: return kNull;
        case json::Kind::False:
        case json::Kind::True: return kBool;
        case json::Kind::Unsigned:
        case json::Kind::Negative:
        case json::Kind::BigInt: return kInt;
        case json::Kind::Float: return kFloat;
        case json::Kind::String: return kStr;
        case json::Kind::Array:
        case json::Kind::Object: break;
    }
    return 0;
}

constexpr std::uint32_t kNone = UINT32_MAX;

// Append-only storage in fixed blocks, addressed by a 32-bit id: growing it
// never moves an element (the fold holds references to positions further up
// the walk) and never copies the whole store, so its peak is its size.
template <class T, unsigned kShift>
class BlockStore {
public:
    static constexpr std::size_t kBlock = std::size_t{1} << kShift;

    std::uint32_t size() const { return size_; }

    T& operator[](std::uint32_t id) { return blocks_[id >> kShift][id & (kBlock - 1)]; }
    const T& operator[](std::uint32_t id) const { return blocks_[id >> kShift][id & (kBlock - 1)]; }

    std::uint32_t push_back(const T& value) {
        // kNone stays free to mean "no element".
        if (size_ == kNone) throw std::bad_alloc();
        if ((size_ & (kBlock - 1)) == 0) blocks_.push_back(std::make_unique<T[]>(kBlock));
        std::uint32_t id = size_++;
        (*this)[id] = value;
        return id;
    }

private:
    std::vector<std::unique_ptr<T[]>> blocks_;
    std::uint32_t size_ = 0;
};

// Key bytes, each distinct key path's once, behind a LEB128 length so that a
// key is one pointer wide wherever it is referred to.
class KeyArena {
public:
    const char* add(std::string_view key) {
        unsigned char prefix[10];
        std::size_t prefix_size = 0;
        for (std::uint64_t n = key.size();; n >>= 7) {
            prefix[prefix_size++] = static_cast<unsigned char>((n & 0x7F) | (n > 0x7F ? 0x80 : 0));
            if (n <= 0x7F) break;
        }
        std::size_t need = prefix_size + key.size();
        char* out;
        if (need > kBlock / 4) {
            // A long key gets a block of its own, leaving the current one open.
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(need));
            out = blocks_.back().get();
        } else {
            if (need > left_) {
                blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlock));
                next_ = blocks_.back().get();
                left_ = kBlock;
            }
            out = next_;
            next_ += need;
            left_ -= need;
        }
        std::memcpy(out, prefix, prefix_size);
        if (!key.empty()) std::memcpy(out + prefix_size, key.data(), key.size());
        return out;
    }

    static std::string_view read(const char* p) {
        std::uint64_t n = 0;
        unsigned shift = 0;
        unsigned char b;
        do {
            b = static_cast<unsigned char>(*p++);
            n |= std::uint64_t{b & 0x7Fu} << shift;
            shift += 7;
        } while (b & 0x80);
        return std::string_view(p, n);
    }

private:
    static constexpr std::size_t kBlock = 64 * 1024;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;
    std::size_t left_ = 0;
};

}  // namespace

namespace detail {

// What the values at one position of the records add up to. The schema of a
// position depends only on: the set of scalar type names; whether arrays
// occurred and whether any held an element; the number of objects; and, per
// distinct key, how many of those objects held it. Each record is therefore
// walked once, depth first, and only these tallies are kept: no value is
// copied or even listed, and a record's bytes are visited together instead of
// once per position.
//
// Walking the records in order, each record depth first, meets the values of
// every position in the order of the lists of the step-by-step merge (records
// in order, array elements concatenated, a key's values in the order of their
// objects), so first occurrences, and with them the name collision rule,
// come out the same. Positions are numbered as they are first met, so among
// the keys of one position a smaller id is a key noted earlier.
//
// A key's position is also where its values go, so one compact node serves
// both; what only object positions need lives in a side table.
struct Node {
    const char* key;        // in the arena; null at the root and for elements
    std::uint64_t held;     // objects of the parent position that held the key
    std::uint32_t parent;   // the object position the key belongs to
    std::uint32_t sibling;  // the key of the same parent noted just before
    // The key that came right after this one in the last object holding it:
    // the objects of one position tend to repeat one key sequence, so this
    // predicts the next key without hashing.
    std::uint32_t next;
    std::uint32_t element;  // position of the array elements, or kNone
    std::uint32_t object;   // index of the object tally, or kNone
    std::uint8_t flags;     // type bits and kArrays
};
static_assert(sizeof(Node) <= 40, "a node per distinct position: keep it small");

struct ObjectTally {
    std::uint64_t objects;  // objects seen at the position
    std::uint32_t last_key;   // the key noted last, head of the sibling chain
    std::uint32_t first_key;  // first key of the last object seen here
};

// Every position's keys in one open-addressing table keyed by (parent, key),
// instead of a table per position: a position with a handful of keys costs
// no table of its own. A slot holds a node id and 32 bits of its hash.
class KeyIndex {
public:
    KeyIndex() : seed_(fresh_seed()) {}

    std::uint32_t hash(std::uint32_t parent, std::string_view key) const { return key_hash(parent, key, seed_); }

    // The id of the key's node, or kNone.
    template <class Nodes>
    std::uint32_t find(const Nodes& nodes, std::uint32_t parent, std::string_view key, std::uint32_t h) const {
        if (slots_.empty()) return kNone;
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.id == kNone) return kNone;
            if (s.hash != h) continue;
            const Node& n = nodes[s.id];
            if (n.parent == parent && KeyArena::read(n.key) == key) return s.id;
        }
    }

    void insert(std::uint32_t id, std::uint32_t h) {
        // At most three quarters full, so probes stay short.
        if ((count_ + 1) * 4 > slots_.size() * 3) grow();
        place(slots_, Slot{id, h});
        ++count_;
    }

private:
    struct Slot {
        std::uint32_t id;
        std::uint32_t hash;
    };

    static void place(std::vector<Slot>& slots, Slot slot) {
        std::size_t mask = slots.size() - 1;
        std::size_t i = slot.hash & mask;
        while (slots[i].id != kNone) i = (i + 1) & mask;
        slots[i] = slot;
    }

    void grow() {
        std::vector<Slot> bigger(slots_.empty() ? 16 : slots_.size() * 2, Slot{kNone, 0});
        for (const Slot& s : slots_) {
            if (s.id != kNone) place(bigger, s);
        }
        slots_ = std::move(bigger);
    }

    // Drawn for each table, from the system's random source where it has
    // one: a key's slot is then known to no one who writes the text.
    static std::uint64_t fresh_seed() {
        std::uint64_t seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        try {
            std::random_device source;
            seed ^= std::uint64_t{source()} << 32 | source();
        } catch (const std::exception&) {
            // No source: the clock's nanoseconds are still unknown to the text.
        }
        return seed;
    }

    std::vector<Slot> slots_;
    std::size_t count_ = 0;
    std::uint64_t seed_;
};

struct Tallies {
    // Blocks of a few tens of KiB: a small sample stays small.
    BlockStore<Node, 10> nodes;
    BlockStore<ObjectTally, 10> objects;
    KeyIndex index;
    KeyArena keys;

    // The interruption check, asked once per kValuesBetweenChecks values
    // folded: a few milliseconds of work, and the counter costs nothing
    // beside the walk.
    static constexpr unsigned kValuesBetweenChecks = 1u << 16;
    json::InterruptCheck check;
    unsigned until_check = kValuesBetweenChecks;

    explicit Tallies(json::InterruptCheck c) : check(c) { new_position(kNone, nullptr); }  // the root, id 0

    std::uint32_t new_position(std::uint32_t parent, const char* key) {
        return nodes.push_back(Node{key, 0, parent, kNone, kNone, kNone, kNone, 0});
    }

    // False when the check stopped the walk.
    [[gnu::cold, gnu::noinline]] bool checkpoint() {
        until_check = kValuesBetweenChecks;
        return check == nullptr || check() == 0;
    }

    // Folds `v` in at position `p`, depth first. The containers around the
    // one being walked wait on walk_, not on the thread's stack: records
    // may nest as deep as the reader lets them. The one being walked is
    // kept in a local, where the scalars it holds are folded in place.
    bool add(std::uint32_t p, json::Value v) {
        if (--until_check == 0 && !checkpoint()) [[unlikely]]
            return false;
        const json::Kind kind = v.kind();
        if (kind != json::Kind::Array && kind != json::Kind::Object) {
            nodes[p].flags |= type_bit(kind);
            return true;
        }
        const json::Document& doc = v.document();
        std::size_t depth = 0;  // containers waiting on walk_
        Walk cur = enter(p, v);
        for (;;) {
            std::uint32_t at;
            if (cur.end == nullptr) {
                if (cur.left == 0) {
                    if (depth == 0) return true;
                    cur = walk_[--depth];
                    continue;
                }
                v = json::Value(&doc, cur.next);
                cur.next = v.end();
                --cur.left;
                at = cur.p;
            } else {
                if (cur.at == cur.end) {
                    if (depth == 0) return true;
                    cur = walk_[--depth];
                    continue;
                }
                const json::Member member = *json::Value::ObjectIter(&doc, cur.at++);
                ObjectTally& tally = *cur.tally;
                at = find_key(cur.p, tally, cur.prev, member.key);
                if (cur.prev == kNone) {
                    tally.first_key = at;
                } else {
                    nodes[cur.prev].next = at;
                }
                cur.prev = at;
                ++nodes[at].held;
                v = member.value;
            }
            if (--until_check == 0 && !checkpoint()) [[unlikely]]
                return false;
            const json::Kind k = v.kind();
            if (k == json::Kind::Array && v.end() == v.index() + 1 + v.size()) {
                // Every element is one node of the tape: a scalar or an
                // empty array, as in most arrays. Folded here, without a
                // turn of the walk.
                if (!add_scalars(at, v)) return false;
            } else if (k == json::Kind::Array || k == json::Kind::Object) {
                // Copied in, not pushed by reference: `cur` then stays in
                // registers.
                if (depth == walk_.size()) [[unlikely]]
                    walk_.resize(std::max<std::size_t>(16, 2 * depth));
                walk_[depth++] = cur;
                cur = enter(at, v);
            } else {
                nodes[at].flags |= type_bit(k);
            }
        }
    }

private:
    // A container being walked: an array's elements, from the tape index
    // `next` on, `left` of them, all at position `p`; or the members
    // [at, end) of an object at position `p`, with its tally (which the
    // store never moves) and the key noted last.
    struct Walk {
        const json::Entry* at;
        const json::Entry* end;  // null for an array
        std::size_t next;
        std::size_t left;
        ObjectTally* tally;
        std::uint32_t p;
        std::uint32_t prev;
    };
    std::vector<Walk> walk_;  // kept from record to record

    // Folds in an array whose elements are all scalars or empty arrays.
    bool add_scalars(std::uint32_t p, json::Value array) {
        Node& node = nodes[p];
        node.flags |= kArrays;
        const std::size_t n = array.size();
        if (n == 0) return true;
        if (node.element == kNone) node.element = new_position(kNone, nullptr);
        const json::Node* first = array.document().tape.data() + array.index() + 1;
        unsigned types = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const auto kind = static_cast<json::Kind>(first[i].head & 0xF);
            types |= kind == json::Kind::Array ? kArrays : type_bit(kind);
        }
        nodes[node.element].flags |= types;
        if (n < until_check) [[likely]] {
            until_check -= static_cast<unsigned>(n);
            return true;
        }
        return checkpoint();
    }

    // Notes the container `v` at position `p`; its values are walked next.
    [[gnu::always_inline]] Walk enter(std::uint32_t p, json::Value v) {
        const json::Document& doc = v.document();
        if (v.kind() == json::Kind::Array) {
            Node& node = nodes[p];
            node.flags |= kArrays;
            if (v.size() != 0 && node.element == kNone) node.element = new_position(kNone, nullptr);
            return Walk{nullptr, nullptr, v.index() + 1, v.size(), nullptr, node.element, kNone};
        }
        if (nodes[p].object == kNone) nodes[p].object = this->objects.push_back(ObjectTally{0, kNone, kNone});
        ObjectTally* tally = &this->objects[nodes[p].object];
        ++tally->objects;
        const json::Entry* first = doc.entries.data() + doc.tape[v.index() + 1].payload;
        return Walk{first, first + v.size(), 0, 0, tally, p, kNone};
    }

public:
    std::uint32_t find_key(std::uint32_t p, ObjectTally& tally, std::uint32_t prev, std::string_view key) {
        std::uint32_t guess = prev == kNone ? tally.first_key : nodes[prev].next;
        if (guess != kNone && KeyArena::read(nodes[guess].key) == key) return guess;
        std::uint32_t h = index.hash(p, key);
        std::uint32_t found = index.find(nodes, p, key, h);
        if (found != kNone) return found;
        std::uint32_t id = new_position(p, keys.add(key));
        nodes[id].sibling = tally.last_key;
        tally.last_key = id;
        index.insert(id, h);
        return id;
    }
};

}  // namespace detail

namespace {

// Orders a position's keys by name, the key plus "?" when optional, byte by
// byte; equal names by first occurrence.
struct NameOrder {
    const detail::Tallies& t;
    std::uint64_t objects;

    bool optional(const detail::Node& n) const { return n.held < objects; }

    int compare(std::uint32_t a, std::uint32_t b) const {
        const detail::Node& na = t.nodes[a];
        const detail::Node& nb = t.nodes[b];
        return compare(KeyArena::read(na.key), optional(na), KeyArena::read(nb.key), optional(nb));
    }

    bool same_name(std::uint32_t a, std::uint32_t b) const { return compare(a, b) == 0; }

    bool operator()(std::uint32_t a, std::uint32_t b) const {
        int c = compare(a, b);
        return c != 0 ? c < 0 : a < b;
    }

    static int compare(std::string_view a, bool qa, std::string_view b, bool qb) {
        std::size_t common = std::min(a.size(), b.size());
        if (common != 0) {
            int c = std::memcmp(a.data(), b.data(), common);
            if (c != 0) return c;
        }
        // Past the common part the names go on with the rest of the longer
        // key and then the "?" marks.
        auto at = [](std::string_view s, bool q, std::size_t i) -> int {
            if (i < s.size()) return static_cast<unsigned char>(s[i]);
            return i == s.size() && q ? '?' : -1;
        };
        std::size_t end_a = a.size() + qa, end_b = b.size() + qb;
        for (std::size_t i = common; i < std::max(end_a, end_b); ++i) {
            int ca = at(a, qa, i), cb = at(b, qb, i);
            if (ca != cb) return ca < cb ? -1 : 1;
        }
        return 0;
    }
};

}  // namespace

Schema::Schema(std::unique_ptr<detail::Tallies> tallies) : tallies_(std::move(tallies)) {}
Schema::Schema(Schema&&) noexcept = default;
Schema& Schema::operator=(Schema&&) noexcept = default;
Schema::~Schema() = default;

Schema::Position Schema::root() const { return Position(tallies_.get(), 0); }

std::string Schema::Position::type_expression() const {
    unsigned types = tallies_->nodes[id_].flags & kScalarBits;
    std::string text;
    for (unsigned i = 0; i < std::size(kTypeNames); ++i) {
        if ((types & (1u << i)) == 0) continue;
        if (!text.empty()) text += '|';
        text += kTypeNames[i];
    }
    return text;
}

bool Schema::Position::has_arrays() const { return tallies_->nodes[id_].flags & kArrays; }
bool Schema::Position::has_elements() const { return tallies_->nodes[id_].element != kNone; }
Schema::Position Schema::Position::elements() const { return Position(tallies_, tallies_->nodes[id_].element); }
bool Schema::Position::has_objects() const { return tallies_->nodes[id_].object != kNone; }

Schema::Fields Schema::Position::fields() const {
    const detail::Tallies& t = *tallies_;
    const detail::ObjectTally& tally = t.objects[t.nodes[id_].object];
    std::size_t count = 0;
    for (std::uint32_t k = tally.last_key; k != kNone; k = t.nodes[k].sibling) ++count;
    std::vector<std::uint32_t> ids;
    ids.reserve(count);  // exactly: this list is as long as the widest object position
    for (std::uint32_t k = tally.last_key; k != kNone; k = t.nodes[k].sibling) ids.push_back(k);
    NameOrder order{t, tally.objects};
    std::sort(ids.begin(), ids.end(), order);
    // Of keys with one name the one noted later wins: the last of each run.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i + 1 < ids.size() && order.same_name(ids[i], ids[i + 1])) continue;
        ids[kept++] = ids[i];
    }
    ids.resize(kept);
    return Fields(tallies_, id_, std::move(ids));
}

std::string_view Schema::Fields::key(std::size_t i) const { return KeyArena::read(tallies_->nodes[ids_[i]].key); }

bool Schema::Fields::optional(std::size_t i) const {
    const detail::Tallies& t = *tallies_;
    return t.nodes[ids_[i]].held < t.objects[t.nodes[parent_].object].objects;
}

Schema::Position Schema::Fields::schema(std::size_t i) const { return Position(tallies_, ids_[i]); }

SchemaBuilder::SchemaBuilder(json::InterruptCheck check)
    : tallies_(std::make_unique<detail::Tallies>(check)), check_(check) {}
SchemaBuilder::~SchemaBuilder() = default;

bool SchemaBuilder::add(json::Value record) { return tallies_->add(0, record); }

Schema SchemaBuilder::finish() {
    auto fresh = std::make_unique<detail::Tallies>(check_);
    std::swap(fresh, tallies_);
    return Schema(std::move(fresh));
}

}  // namespace qvtok::schema
