// Python values straight from JSON text: the reader hands each value to a
// sink that makes its object at once, so no tape is written and read back.
#pragma once

#include <memory>
#include <vector>

#include "core/json/split_read.hpp"
#include "core/json/value_builder.hpp"
#include "python/values/dict_shapes.hpp"
#include "python/values/int_cache.hpp"
#include "python/values/keys.hpp"
#include "python/py_ref.hpp"

namespace qvtok::values {

// Builds the objects that SharedKeyConverter makes of a document read with
// the same options: json.load's values, keys and ints shared through the
// caches given. Used
// with the GIL held, and destroyed with it held.
class PyValueBuilder final : public json::ValueBuilder {
public:
    PyValueBuilder(KeyCache& keys, IntCache& ints) : keys_(keys), ints_(ints) {}
    ~PyValueBuilder() override;
    PyValueBuilder(const PyValueBuilder&) = delete;
    PyValueBuilder& operator=(const PyValueBuilder&) = delete;

    // A failure of building leaves its exception set (MemoryError, or what
    // a signal handler raised).
    std::optional<json::JsonParseError> build(std::string_view text, const json::ReadOptions& options) override;
    json::ValueBuilder::Front build_front(std::string_view text, const json::ReadOptions& options) override;
    void drop() override;
    void expect(std::size_t bytes) override;
    void begin(std::string_view text, const json::ReadOptions& options) override;
    void abandon() override;

    // The value built last, handed over; there must be one.
    PyRef take();

private:
    friend struct PySink;
    // The text's values onto the stack, large texts read on another thread.
    std::optional<json::JsonParseError> read(std::string_view text, const json::ReadOptions& options);
    // Releases what a read that failed left on the stack.
    void unwind();
    // The one value a read left on the stack becomes the built one.
    void take_built();
    void release_stack();

    KeyCache& keys_;
    DictShapes shapes_;
    IntCache& ints_;
    std::vector<PyObject*> stack_;  // values whose container has not closed
    std::vector<PyObject*> numbered_keys_;  // a split read's keys by id: owned
    std::unique_ptr<json::SplitRead> started_;    // on the text begin() was given
    std::string_view started_text_;
    PyRef built_;
};

}  // namespace qvtok::values
