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
inline constexpr const char* kRenderFailed = "failed to render schema: ";

// Fixed reasons.
inline constexpr const char* kInvalidUtf8 = "stream did not contain valid UTF-8";
inline constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";
inline constexpr const char* kUnknownFormatTail = "; expected 'json', 'jsonl' or 'auto'";

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

}  // namespace qvtok::msg
