// Counting records without parsing them: the separators of a top-level JSON
// array, or the non-blank lines of a JSONL file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/error.hpp"
#include "core/records/source.hpp"

namespace qvtok::records {

// The read buffer that a source handed to the counters should have: the
// counters scan the source's buffer in place, and larger reads cost fewer
// system calls.
inline constexpr std::size_t kCountBufferSize = 256 * 1024;

// The elements of a top-level array: commas at depth 1, plus one when
// anything that can start a value appeared at depth 1 (so "[]" and "[,]" give
// 0). Unbalanced brackets, an array that is never closed and text after it
// are counted by the same rules without an error; a document that is no array
// is 1, and an empty or whitespace-only file 0. Fails with ReadFailed.
Expected<std::uint64_t> count_json_records(RecordSource& source);

// The lines that hold something besides Unicode White_Space. Fails with
// ReadFailed, or InvalidUtf8 once the first line that is not UTF-8 has been
// read to its end.
Expected<std::uint64_t> count_jsonl_records(RecordSource& source);

}  // namespace qvtok::records
