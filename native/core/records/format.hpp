// Which way the records of a file are found, from the caller's word, the
// file name, or the file's first significant byte.
#pragma once

#include <optional>
#include <string_view>

#include "core/error.hpp"
#include "core/records/source.hpp"

namespace qvtok::records {

enum class RecordFormat {
    Json,   // one document: the elements of a top-level array, or the value itself
    Jsonl,  // one document per non-blank line
};

struct ResolvedFormat {
    RecordFormat format;
    // The file, when detection had to read from one that cannot be opened
    // again at its start (a pipe): its buffer still holds the bytes looked
    // at, and the operation must read on from it.
    std::optional<RecordSource> source;
};

// `format` is absent when the caller leaves the choice to the file. Fails
// with UnknownFormat, CannotOpen, or CannotRead for first bytes that cannot
// be read.
Expected<ResolvedFormat> resolve_format(std::string_view path, std::optional<std::string_view> format,
                                        InterpreterHooks poll);

}  // namespace qvtok::records
