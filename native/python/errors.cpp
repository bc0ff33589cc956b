// The one table from the core's error codes to Python exceptions and their
// texts. Every message that a core error can show is composed here.
#include <string.h>

#include <string>

#include "python/binding.hpp"
#include "python/messages.hpp"

namespace qvtok {
namespace {

const char* syntax_text(json::Syntax syntax) {
    using json::Syntax;
    switch (syntax) {
        case Syntax::EofList: return msg::kEofList;
        case Syntax::EofObject: return msg::kEofObject;
        case Syntax::EofString: return msg::kEofString;
        case Syntax::EofValue: return msg::kEofValue;
        case Syntax::ExpectedColon: return msg::kExpectedColon;
        case Syntax::ExpectedListEnd: return msg::kExpectedListEnd;
        case Syntax::ExpectedObjectEnd: return msg::kExpectedObjectEnd;
        case Syntax::ExpectedIdent: return msg::kExpectedIdent;
        case Syntax::ExpectedValue: return msg::kExpectedValue;
        case Syntax::InvalidEscape: return msg::kInvalidEscape;
        case Syntax::InvalidNumber: return msg::kInvalidNumber;
        case Syntax::NumberOutOfRange: return msg::kNumberOutOfRange;
        case Syntax::ControlCharacter: return msg::kControlCharacter;
        case Syntax::KeyMustBeString: return msg::kKeyMustBeString;
        case Syntax::LoneSurrogate: return msg::kLoneSurrogate;
        case Syntax::TrailingComma: return msg::kTrailingComma;
        case Syntax::TrailingCharacters: return msg::kTrailingCharacters;
        case Syntax::UnexpectedEndOfHexEscape: return msg::kUnexpectedEndOfHexEscape;
        case Syntax::RecursionLimit: return msg::kRecursionLimit;
        case Syntax::MismatchedBracket: return msg::kMismatchedBracket;
    }
    return msg::kExpectedValue;
}

// "{system text} (os error {code})"
std::string os_text(int code) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(code, buf, sizeof buf);
    std::string out(text);
    out += " (os error ";
    out += std::to_string(code);
    out += ')';
    return out;
}

// "{what} at line {line} column {column}", positions within the parsed piece.
std::string syntax_detail(const Error& e) {
    std::string out(syntax_text(e.syntax));
    out += " at line ";
    out += std::to_string(e.line);
    out += " column ";
    out += std::to_string(e.column);
    return out;
}

// The name between double quotes, escaped the way a debug print shows it.
std::string quoted(std::string_view s) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            case '\0': out += "\\0"; continue;
            default: break;
        }
        if (c < 0x20 || c == 0x7f) {
            out += "\\u{";
            if (c >= 0x10) out += hex[c >> 4];
            out += hex[c & 15];
            out += '}';
        } else if (c == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xa0) {
            // C1 controls (U+0080..U+009F) cannot be printed either.
            unsigned cp = static_cast<unsigned char>(s[++i]);
            out += "\\u{";
            out += hex[cp >> 4];
            out += hex[cp & 15];
            out += '}';
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

// The name that the command line tells errors apart by.
const char* code_name(ErrorCode code) {
    switch (code) {
        case ErrorCode::CannotOpen: return "cannot_open";
        case ErrorCode::CannotRead: return "cannot_read";
        case ErrorCode::UnknownFormat: return "unknown_format";
        case ErrorCode::ReadFailed: return "read_failed";
        case ErrorCode::InvalidUtf8: return "invalid_utf8";
        case ErrorCode::InvalidJson: return "invalid_json";
        case ErrorCode::InvalidElement: return "invalid_element";
        case ErrorCode::InvalidLine: return "invalid_line";
        case ErrorCode::Interrupted: break;
    }
    return nullptr;
}

}  // namespace

CallError CallError::from(Error error) {
    std::string text;
    PyObject* cls = PyExc_ValueError;
    switch (error.code) {
        case ErrorCode::Interrupted: return fetch();
        case ErrorCode::CannotOpen:
            text = msg::kCannotOpen + error.subject + ": " +
                   (error.os_code == 0 ? std::string(msg::kNulInPath) : os_text(error.os_code));
            break;
        case ErrorCode::CannotRead:
            text = msg::kCannotRead + error.subject + ": " + os_text(error.os_code);
            break;
        case ErrorCode::UnknownFormat:
            text = "unknown format " + quoted(error.subject) + msg::kUnknownFormatTail;
            break;
        case ErrorCode::ReadFailed:
            cls = PyExc_RuntimeError;
            text = msg::kReadError + os_text(error.os_code);
            break;
        case ErrorCode::InvalidUtf8:
            cls = PyExc_RuntimeError;
            text = std::string(msg::kReadError) + msg::kInvalidUtf8;
            break;
        case ErrorCode::InvalidJson: text = msg::kInvalidJson + syntax_detail(error); break;
        case ErrorCode::InvalidElement: text = msg::kInvalidElement + syntax_detail(error); break;
        case ErrorCode::InvalidLine: text = msg::kInvalidLine + syntax_detail(error); break;
    }
    CallError out = deferred(cls, std::move(text));
    out.code_ = code_name(error.code);
    return out;
}

}  // namespace qvtok
