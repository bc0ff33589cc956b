// Every fixed text that Python code can see from this module, in one place.
#pragma once

namespace qvtok::msg {

// Prefixes of operation errors.
inline constexpr const char* kCannotOpen = "cannot open ";
inline constexpr const char* kCannotRead = "cannot read ";
inline constexpr const char* kReadError = "read error: ";
inline constexpr const char* kInvalidJson = "invalid JSON: ";
inline constexpr const char* kInvalidElement = "invalid JSON element: ";
inline constexpr const char* kInvalidLine = "invalid JSONL line: ";

// Fixed reasons.
inline constexpr const char* kInvalidUtf8 = "stream did not contain valid UTF-8";
inline constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";
inline constexpr const char* kUnknownFormatTail = "; expected 'json', 'jsonl' or 'auto'";
inline constexpr const char* kCompression =
    "compression must be \"auto\", None, \"gzip\", \"zstd\", \"bzip2\" or \"xz\"";
// After a bigjson error on a compressed file: " (the file is gzip-compressed; ...)".
inline constexpr const char* kCompressedHead = " (the file is ";
inline constexpr const char* kCompressedTail = "-compressed; qvtok.open reads it)";
inline constexpr const char* kHeadCount = "head() needs a count of 0 or more";

// The iterator's busy marker.
inline constexpr const char* kAlreadyBorrowed = "Already borrowed";
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";

// Interpreter-facing faults.
inline constexpr const char* kNoExceptionSet = "attempted to fetch exception but none was set";
inline constexpr const char* kNullObject = "PyObject pointer is null";
inline constexpr const char* kAllAppendFailed = "could not append __name__ to __all__";
inline constexpr const char* kIteratorInitFailed =
    "An error occurred while initializing class RecordIterator";
inline constexpr const char* kUnknownFault = "the extension failed internally without a message";
inline constexpr const char* kNotBaseException = "exceptions must derive from BaseException";

// What the reader found, shown after an "invalid ..." prefix and before the
// position.
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
// bigjson shows kLoneSurrogate for this too: its texts stay as they were.
inline constexpr const char* kLoneTrailingSurrogate = "lone trailing surrogate in hex escape";
inline constexpr const char* kTrailingComma = "trailing comma";
inline constexpr const char* kTrailingCharacters = "trailing characters";
inline constexpr const char* kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
inline constexpr const char* kRecursionLimit = "recursion limit exceeded";
// Followed by the limit in force, as int() words it.
inline constexpr const char* kIntegerTooLong = "Exceeds the limit";
inline constexpr const char* kIntegerTooLongEnd =
    " digits) for integer string conversion; use sys.set_int_max_str_digits() to increase the limit";
inline constexpr const char* kMismatchedBracket = "mismatched closing bracket";

// qvtok.open's words for a fault, where Python's json has words for it:
// its own, so that code written for json.JSONDecodeError reads them alike.
inline constexpr const char* kJsonExpectingValue = "Expecting value";
inline constexpr const char* kJsonExpectingDelimiter = "Expecting ',' delimiter";
inline constexpr const char* kJsonExpectingColon = "Expecting ':' delimiter";
inline constexpr const char* kJsonExpectingPropertyName = "Expecting property name enclosed in double quotes";
inline constexpr const char* kJsonUnterminatedString = "Unterminated string starting at";
inline constexpr const char* kJsonInvalidControl = "Invalid control character at";
inline constexpr const char* kJsonInvalidEscape = "Invalid \\escape";
inline constexpr const char* kJsonInvalidUnicodeEscape = "Invalid \\uXXXX escape";
inline constexpr const char* kJsonExtraData = "Extra data";
inline constexpr const char* kJsonTrailingCommaArray = "Illegal trailing comma before end of array";
inline constexpr const char* kJsonTrailingCommaObject = "Illegal trailing comma before end of object";

// A pass that was reading on a thread of its own when the process forked.
inline constexpr const char* kForked =
    "this pass was started before the process forked, and its reading thread did not come along: "
    "open the input again in the child";

}  // namespace qvtok::msg
