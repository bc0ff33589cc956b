// The first records of a file, parsed, for the schema operation.
#pragma once

#include <cstdint>
#include <vector>

#include "../../json/value.hpp"
#include "../error.hpp"
#include "source.hpp"

namespace qvtok::bigjson {

// The first `sample` elements of a top-level JSON array that are not blank,
// or fewer when the array ends first (at its closing bracket, or at the end of
// a file that cuts it off: its unfinished element is dropped). The limit is
// tested after each comma, so a sample of 0 still takes the first element.
// A document that is no array is one record, parsed whole. Errors: ValueError
// "invalid JSON element: ..." for an element that is not one JSON value,
// ValueError "invalid JSON: ..." for such a whole document, RuntimeError
// "read error: ..." for a failed read.
Expected<std::vector<json::Document>> draw_json_sample(RecordSource& source, std::uint64_t sample);

// The first `sample` non-blank lines of a JSONL file, parsed. Reading stops at
// the first line read after the sample is complete, whatever that line holds.
// Errors: RuntimeError "read error: ..." for a failed read or a line that is
// not UTF-8, ValueError "invalid JSONL line: ..." for a line that is not one
// JSON value.
Expected<std::vector<json::Document>> draw_jsonl_sample(RecordSource& source, std::uint64_t sample);

}  // namespace qvtok::bigjson
