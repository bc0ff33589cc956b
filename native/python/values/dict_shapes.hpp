// Dicts of a key order met before, made as a copy of a model dict that has
// those keys: the copy takes the model's hash table whole, so the dict is
// filled by replacing values, without growing its table as it goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "python/compat.hpp"

namespace qvtok::values {

// Records of one file mostly share their key order; a handful of orders
// are remembered. Holds strong references to its models; GIL held to use,
// clear or destroy it.
class DictShapes {
public:
    DictShapes() = default;
    ~DictShapes() { clear(); }
    DictShapes(const DictShapes&) = delete;
    DictShapes& operator=(const DictShapes&) = delete;

    // A new dict of the `count` members at `pairs` (key, value, key, value,
    // ...) in order: a repeated key keeps its first place and its last
    // value, as json.load's dict does. The references at `pairs` stay the
    // caller's. NULL with an exception set.
    PyObject* make(PyObject* const* pairs, std::size_t count);

    void clear();

private:
    // Below this many members a fresh dict grows its table at most once,
    // which costs less than copying a model.
    static constexpr std::size_t kMinMembers = 16;
    static constexpr std::size_t kShapes = 64;

    struct Shape {
        std::uint64_t hash = 0;
        std::size_t count = 0;
        PyObject* model = nullptr;   // owned; NULL while the order was met once
        std::vector<PyObject*> keys;  // the model's keys, in order: it holds them
    };
    PyObject* fresh(PyObject* const* pairs, std::size_t count);
    void remember(Shape& shape, PyObject* const* pairs, std::size_t count);

    std::vector<Shape> shapes_;  // made at the first dict large enough
};

}  // namespace qvtok::values
