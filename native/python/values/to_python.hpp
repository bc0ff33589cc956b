// A parsed document to new Python objects.
#pragma once

#include <string_view>

#include "python/binding.hpp"
#include "python/values/int_cache.hpp"
#include "python/values/keys.hpp"
#include "core/json/utf8.hpp"
#include "core/json/value.hpp"

namespace qvtok::values {

// Returns a new reference to the Python form of `value`, or the error of the
// interpreter call that failed; nothing built is left behind on failure. The
// caller holds the GIL. Dict keys come in the value's key order, each a
// fresh str.
PyResult json_value_to_python(json::Value value);

// Converts value after value (the records of one stream) to the objects
// json.load gives: members go into each dict in the value's key order, so
// that from a document read in text order a repeated key keeps its first
// place and its last value; integers beyond 64 bits (Kind::BigInt) become
// exact ints. Equal keys are one shared str, across values too. Keep one per
// stream; the GIL must be held to use and to destroy it.
class SharedKeyConverter {
public:
    // A new reference, or the error of the interpreter call that failed.
    PyResult convert(json::Value value);

    // The caches of keys and ints, for values built without a document.
    KeyCache& keys() { return keys_; }
    IntCache& ints() { return ints_; }

private:
    KeyCache keys_;
    IntCache ints_;
    unsigned until_poll_ = 0;  // values left before the next signal check
};

// A new str of `bytes` (valid UTF-8; `ascii` when every byte is below
// 0x80), made at its final width in one pass. NULL with an exception set.
PyObject* new_str(std::string_view bytes, bool ascii);
// The same, of bytes whose shape is known already.
PyObject* new_str(std::string_view bytes, json::Utf8Shape shape);
// A str of `shape.chars` units already at the width of `shape.max_char`.
PyObject* new_str_of_units(const void* units, json::Utf8Shape shape);

// A new int of an integer literal beyond 64 bits. Python's own limit on
// the digits of an int read from text applies, as it does for json.load.
// NULL with an exception set.
[[gnu::noinline]] PyObject* new_big_int(std::string_view literal);

}  // namespace qvtok::values
