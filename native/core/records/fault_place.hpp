// Where Python's json module places a fault that the reader found in a
// record's text, for the positions qvtok.open reports (JSONDecodeError's
// pos, lineno and colno, and the command line's FILE:LINE:COLUMN).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/error.hpp"
#include "core/json/syntax.hpp"

namespace qvtok::records {

// A place within a piece of text: line and column from 1.
struct PiecePlace {
    std::uint64_t line = 0;  // 0: not known from what was at hand
    std::uint64_t column = 0;
};

// The reader names a fault at the end of its text by the text's last byte,
// and a raw line feed by the start of the line after it, column 0. json
// places the first just past the last byte, and counts only the line feeds
// before the place it names: lineno = 1 + line feeds before pos, colno = pos
// minus the last line feed before it.
//
// Takes `error` as the reader left it (offset in the file, line and column
// within the piece), moves its offset past the last byte for a fault at the
// end, and gives json's line and column within the piece. `before`, when
// at hand, holds the piece's bytes before the byte named; without it a
// named line feed is left unknown. The reader's own line and column stay as
// they are: bigjson's messages show them.
//
// A fault from the reader comes with json's own place, which is taken as
// it stands: json may name an earlier byte than the reader (a misspelt
// literal's start, an unterminated string's quote, a trailing comma).
inline PiecePlace json_place(Error& error, std::optional<std::string_view> before = std::nullopt) {
    using json::Syntax;
    if (error.json_line != 0) {
        error.offset = error.json_offset;
        return PiecePlace{error.json_line, error.json_column};
    }
    const Syntax s = error.syntax;
    const bool empty_text = error.line == 1 && error.column == 0;
    if ((s == Syntax::EofList || s == Syntax::EofObject || s == Syntax::EofString || s == Syntax::EofValue) &&
        !empty_text) {
        error.offset += 1;
        return PiecePlace{error.line, error.column + 1};
    }
    if (error.column != 0 || error.line <= 1) return PiecePlace{error.line, std::max<std::uint64_t>(error.column, 1)};
    if (!before) return PiecePlace{};
    const std::size_t last = before->rfind('\n');
    const auto line_feeds = static_cast<std::uint64_t>(std::count(before->begin(), before->end(), '\n'));
    const std::size_t tail = last == std::string_view::npos ? before->size() : before->size() - last - 1;
    return PiecePlace{line_feeds + 1, tail + 1};
}

}  // namespace qvtok::records
