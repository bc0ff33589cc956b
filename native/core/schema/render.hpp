// Pretty JSON text of a schema: two-space indentation, ": " after names,
// "[]" and "{}" for empty containers, no line feed after the last line.
#pragma once

#include <string>

#include "core/schema/model.hpp"

namespace qvtok::schema {

// Only the double quote, the backslash and the bytes below 0x20 are escaped
// in names and type expressions; every other byte, 0x7F and the bytes of
// non-ASCII characters included, is copied as it is, so valid UTF-8 names
// stay valid UTF-8.
std::string render_schema(const Schema& schema);

}  // namespace qvtok::schema
