// The reader's fixed error texts, in one place so that they are easy to
// review: callers show them to Python users after their own prefix.
#pragma once

namespace qvtok::json::msg {

inline constexpr const char* kEofList = "EOF while parsing a list";
inline constexpr const char* kEofObject = "EOF while parsing an object";
inline constexpr const char* kEofString = "EOF while parsing a string";
inline constexpr const char* kEofValue = "EOF while parsing a value";
inline constexpr const char* kExpectedColon = "expected `:`";
inline constexpr const char* kExpectedListEnd = "expected `,` or `]`";
inline constexpr const char* kExpectedObjectEnd = "expected `,` or `}`";
inline constexpr const char* kExpectedIdent = "expected ident";
inline constexpr const char* kExpectedValue = "expected value";
inline constexpr const char* kInvalidEscape = "invalid escape";
inline constexpr const char* kInvalidNumber = "invalid number";
inline constexpr const char* kNumberOutOfRange = "number out of range";
inline constexpr const char* kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr const char* kKeyMustBeString = "key must be a string";
inline constexpr const char* kLoneSurrogate = "lone leading surrogate in hex escape";
inline constexpr const char* kTrailingComma = "trailing comma";
inline constexpr const char* kTrailingCharacters = "trailing characters";
inline constexpr const char* kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
inline constexpr const char* kRecursionLimit = "recursion limit exceeded";

}  // namespace qvtok::json::msg
