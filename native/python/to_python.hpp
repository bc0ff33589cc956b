// A parsed document to new Python objects.
#pragma once

#include "python/binding.hpp"
#include "core/json/value.hpp"

namespace qvtok::json {

// Returns a new reference to the Python form of `value`, or the error of the
// interpreter call that failed; nothing built is left behind on failure. The
// caller holds the GIL. Dict keys come in the value's key order.
PyResult json_value_to_python(Value value);

}  // namespace qvtok::json
