// The first records of a file, parsed, for the schema operation.
#pragma once

#include <cstdint>
#include <functional>

#include "core/json/value.hpp"
#include "core/error.hpp"
#include "core/records/source.hpp"

namespace qvtok::records {

// Receives each drawn record, in file order. The record's storage is reused
// for the next one once the sink returns.
using RecordSink = std::function<void(const json::Document&)>;

// The first `sample` elements of a top-level JSON array that are not blank,
// or fewer when the array ends first (at its closing bracket, or at the end of
// a file that cuts it off: its unfinished element is dropped). The limit is
// tested after each comma, so a sample of 0 still takes the first element.
// A document that is no array is one record, parsed whole. Errors: ValueError
// "invalid JSON element: ..." for an element that is not one JSON value,
// ValueError "invalid JSON: ..." for such a whole document, RuntimeError
// "read error: ..." for a failed read.
Expected<Done> draw_json_sample(RecordSource& source, std::uint64_t sample, const RecordSink& take);

// The first `sample` non-blank lines of a JSONL file, parsed. Reading stops at
// the first line read after the sample is complete, whatever that line holds.
// Errors: RuntimeError "read error: ..." for a failed read or a line that is
// not UTF-8, ValueError "invalid JSONL line: ..." for a line that is not one
// JSON value.
Expected<Done> draw_jsonl_sample(RecordSource& source, std::uint64_t sample, const RecordSink& take);

}  // namespace qvtok::records
