#include "python/values/dict_shapes.hpp"

namespace qvtok::values {
namespace {

// The key order's hash: the keys' addresses, each in its place. Keys come
// from the key cache, so the same text is the same object.
std::uint64_t order_hash(PyObject* const* pairs, std::size_t count) {
    std::uint64_t h = count;
    for (std::size_t i = 0; i < count; ++i) {
        h ^= reinterpret_cast<std::uintptr_t>(pairs[2 * i]);
        h *= 0x9E3779B97F4A7C15ull;
        h ^= h >> 32;
    }
    return h;
}

int fill(PyObject* dict, PyObject* const* pairs, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (PyDict_SetItem(dict, pairs[2 * i], pairs[2 * i + 1]) < 0) return -1;
    return 0;
}

}  // namespace

PyObject* DictShapes::fresh(PyObject* const* pairs, std::size_t count) {
    PyObject* dict = PyDict_New();
    if (dict != nullptr && fill(dict, pairs, count) < 0) Py_CLEAR(dict);
    return dict;
}

PyObject* DictShapes::make(PyObject* const* pairs, std::size_t count) {
    if (count < kMinMembers) return fresh(pairs, count);
    if (shapes_.empty()) shapes_.resize(kShapes);
    const std::uint64_t h = order_hash(pairs, count);
    Shape& shape = shapes_[h % kShapes];
    if (shape.hash != h || shape.count != count) {
        // A new order: noted, and given a model only if it comes again.
        Py_CLEAR(shape.model);
        shape.keys.clear();
        shape.hash = h;
        shape.count = count;
        return fresh(pairs, count);
    }
    if (shape.model == nullptr) {
        PyObject* dict = fresh(pairs, count);
        if (dict != nullptr) remember(shape, pairs, count);
        return dict;
    }
    for (std::size_t i = 0; i < count; ++i)
        if (shape.keys[i] != pairs[2 * i]) return fresh(pairs, count);
    PyObject* dict = PyDict_Copy(shape.model);
    if (dict != nullptr && fill(dict, pairs, count) < 0) Py_CLEAR(dict);
    return dict;
}

void DictShapes::remember(Shape& shape, PyObject* const* pairs, std::size_t count) {
    // Values of None: the model keeps no value of the records alive.
    PyObject* model = PyDict_New();
    if (model == nullptr) {
        PyErr_Clear();  // only a model that could not be made
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (PyDict_SetItem(model, pairs[2 * i], Py_None) < 0) {
            PyErr_Clear();
            Py_DECREF(model);
            return;
        }
    }
    shape.model = model;
    shape.keys.resize(count);
    for (std::size_t i = 0; i < count; ++i) shape.keys[i] = pairs[2 * i];
}

void DictShapes::clear() {
    for (Shape& shape : shapes_) Py_CLEAR(shape.model);
    shapes_.clear();
}

}  // namespace qvtok::values
