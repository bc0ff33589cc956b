// What the reader can find wrong with a text. Codes only: the words shown to
// a user belong to whoever shows them.
#pragma once

#include <cstdint>

namespace qvtok::json {

enum class Syntax : std::uint8_t {
    EofList,
    EofObject,
    EofString,
    EofValue,
    ExpectedColon,
    ExpectedListEnd,
    ExpectedObjectEnd,
    ExpectedIdent,
    ExpectedValue,
    InvalidEscape,
    InvalidNumber,
    NumberOutOfRange,
    ControlCharacter,
    KeyMustBeString,
    LoneSurrogate,
    TrailingComma,
    TrailingCharacters,
    UnexpectedEndOfHexEscape,
    RecursionLimit,
    MismatchedBracket,  // a "]" closing a "{", or a "}" closing a "["
};

}  // namespace qvtok::json
