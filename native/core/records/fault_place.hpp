// Where Python's json module places a fault that the reader found in a
// record's text, for the positions qvtok.open reports (JSONDecodeError's
// pos, lineno and colno, and the command line's FILE:LINE:COLUMN).
#pragma once

#include <algorithm>
#include <cstdint>

#include "core/error.hpp"

namespace qvtok::records {

// A place within a piece of text: line and column from 1.
struct PiecePlace {
    std::uint64_t line = 0;
    std::uint64_t column = 0;
};

// Takes `error` as the reader left it (offset in the file, line and column
// within the piece) and gives json's line and column within the piece, its
// offset moved to the place json names. The reader works json's place out
// with every fault (json may name an earlier byte than the reader: a
// misspelt literal's start, an unterminated string's quote; and the end of
// a text past its last byte). An error made elsewhere names a byte that is
// no line feed, whose place both count alike. The reader's own line and
// column stay as they are: bigjson's messages show them.
inline PiecePlace json_place(Error& error) {
    if (error.json_line != 0) {
        error.offset = error.json_offset;
        return PiecePlace{error.json_line, error.json_column};
    }
    return PiecePlace{error.line, std::max<std::uint64_t>(error.column, 1)};
}

}  // namespace qvtok::records
