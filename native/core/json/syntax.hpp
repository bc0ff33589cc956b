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
    LoneSurrogate,          // a high surrogate escape followed by an escape that is no low one
    LoneTrailingSurrogate,  // a low surrogate escape with no high one before it
    TrailingComma,
    TrailingCharacters,
    UnexpectedEndOfHexEscape,
    RecursionLimit,
    MismatchedBracket,  // a "]" closing a "{", or a "}" closing a "["
    IntegerTooLong,     // an exact integer of more digits than ReadOptions allow
};

}  // namespace qvtok::json
