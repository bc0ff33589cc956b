// Byte work of qvtok.open that needs no interpreter: telling JSON from JSONL
// by a file's first line.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/records/format.hpp"
#include "core/records/source.hpp"

namespace qvtok::open {

// The format a file name's extension names (.json, .jsonl, .ndjson, in any
// case), or nothing.
std::optional<records::RecordFormat> format_by_name(std::string_view name);

// Reads the start of `reader` and decides, from at most its first MiB:
// "[" as the first significant byte is JSON; otherwise JSONL only when the
// first line alone is one complete JSON value and another non-blank line
// follows it, and JSON in every other case (a multi-line object, a single
// value). A first line longer than that is JSONL when a value ends within
// it followed by white space only, and JSON when no value ends there: a
// document of any size is opened in constant memory. The bytes it read are
// handed back in `prefix`, to be read again before the rest.
Expected<records::RecordFormat, records::IoError> sniff_format(records::ByteReader& reader, std::string& prefix);


}  // namespace qvtok::open
