// The one table from the core's error codes to Python exceptions and their
// texts. Every message that a core error can show is composed here.
#include <string.h>

#include <string>

#include "core/codecs/codec.hpp"
#include "python/binding.hpp"
#include "python/int_digits.hpp"
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
        case Syntax::LoneSurrogate:
        case Syntax::LoneTrailingSurrogate: return msg::kLoneSurrogate;
        case Syntax::TrailingComma: return msg::kTrailingComma;
        case Syntax::TrailingCharacters: return msg::kTrailingCharacters;
        case Syntax::UnexpectedEndOfHexEscape: return msg::kUnexpectedEndOfHexEscape;
        case Syntax::RecursionLimit: return msg::kRecursionLimit;
        case Syntax::MismatchedBracket: return msg::kMismatchedBracket;
        case Syntax::IntegerTooLong: return msg::kIntegerTooLong;
    }
    return msg::kExpectedValue;
}

// json's words for a fault, or nullptr where it has none.
const char* json_text(json::JsonFault fault) {
    using json::JsonFault;
    switch (fault) {
        case JsonFault::None: return nullptr;
        case JsonFault::ExpectingValue: return msg::kJsonExpectingValue;
        case JsonFault::ExpectingDelimiter: return msg::kJsonExpectingDelimiter;
        case JsonFault::ExpectingColon: return msg::kJsonExpectingColon;
        case JsonFault::ExpectingPropertyName: return msg::kJsonExpectingPropertyName;
        case JsonFault::UnterminatedString: return msg::kJsonUnterminatedString;
        case JsonFault::InvalidControl: return msg::kJsonInvalidControl;
        case JsonFault::InvalidEscape: return msg::kJsonInvalidEscape;
        case JsonFault::InvalidUnicodeEscape: return msg::kJsonInvalidUnicodeEscape;
        case JsonFault::ExtraData: return msg::kJsonExtraData;
        case JsonFault::TrailingCommaArray: return msg::kJsonTrailingCommaArray;
        case JsonFault::TrailingCommaObject: return msg::kJsonTrailingCommaObject;
    }
    return nullptr;
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
        case ErrorCode::InvalidPointer: return "invalid_pointer";
        case ErrorCode::NoMatch: return "no_match";
        case ErrorCode::CorruptCompressed: return "corrupt_compressed";
        case ErrorCode::TruncatedCompressed: return "truncated_compressed";
        case ErrorCode::EncodeFailed: return "encode_failed";
        case ErrorCode::CodecUnavailable: return "codec_unavailable";
        case ErrorCode::Forked: return "forked";
        case ErrorCode::StructureLost: return "structure_lost";
        case ErrorCode::Interrupted: break;
    }
    return nullptr;
}

// qvtok.open's texts.
constexpr const char* kInvalidPointer = "invalid JSON pointer ";
constexpr const char* kPointerPrefix = "JSON pointer ";
constexpr const char* kMatchesNothing = " matches nothing";

std::string no_match_text(const Error& e) { return kPointerPrefix + quoted(e.subject) + kMatchesNothing; }

constexpr const char* kBytesPrefix = "bytes ";
constexpr const char* kRangeDash = "\u2013";
constexpr const char* kFromPrefix = "bytes from ";
constexpr const char* kOnwards = " on";
constexpr const char* kNotChecked = " not checked: the structure was lost at record ";

// "bytes 121–267780 not checked: the structure was lost at record 5", the
// end left open where the input's size is not known.
std::string structure_lost_text(const Error& e) {
    std::string range = e.end != 0 ? kBytesPrefix + std::to_string(e.offset) + kRangeDash + std::to_string(e.end)
                                   : kFromPrefix + std::to_string(e.offset) + kOnwards;
    return range + kNotChecked + std::to_string(e.record);
}

// The class every record error of qvtok.open is raised as; set once at import.
PyObject* decode_error_class = nullptr;
// Its subclass for the bytes left unread where the structure was lost; set
// once at import.
PyObject* structure_lost_class = nullptr;
// The class of compressed data that does not decode; set once at import.
PyObject* compression_error_class = nullptr;

std::string compression_text(const Error& e) {
    if (e.code == ErrorCode::TruncatedCompressed)
        return "truncated " + e.subject + " data: the file ends at compressed byte " + std::to_string(e.offset) +
               ", before the end of its stream";
    return "corrupt " + e.subject + " data at compressed byte " + std::to_string(e.offset) + ": " +
           (e.detail != nullptr ? e.detail : "invalid data");
}

// qvtok.CompressionError with its codec and compressed offset.
CallError compression_error(const Error& e) {
    std::string text = compression_text(e);
    PyRef exc(PyObject_CallFunction(compression_error_class, "s#", text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!exc) return CallError::fetch();
    PyRef codec(PyUnicode_FromString(e.subject.c_str()));
    PyRef offset(PyLong_FromUnsignedLongLong(e.offset));
    if (!codec || !offset || PyObject_SetAttrString(exc.get(), "codec", codec.get()) < 0 ||
        PyObject_SetAttrString(exc.get(), "offset", offset.get()) < 0)
        return CallError::fetch();
    return CallError::captured(std::move(exc));
}

// Makes the exception class `name` into `slot`, where it is kept for the
// life of the process.
Expected<Done, CallError> make_class(PyObject*& slot, const char* name, const char* doc, PyObject* base) {
    PyObject* cls = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
    if (cls == nullptr) return CallError::fetch();
    slot = cls;
    return Done{};
}

}  // namespace

Expected<Done, CallError> make_decode_error_class() {
    if (decode_error_class != nullptr) return Done{};
    PyRef json(PyImport_ImportModule("json"));
    if (!json) return CallError::fetch();
    PyRef base(PyObject_GetAttrString(json.get(), "JSONDecodeError"));
    if (!base) return CallError::fetch();
    auto made = make_class(
        decode_error_class, "qvtok.JSONDecodeError",
        "A record that is not valid JSON. Besides json.JSONDecodeError's msg, pos,\n"
        "lineno and colno it carries `record`, the index of the record among those\n"
        "read. `pos` counts bytes from the start of the input, `colno` bytes from\n"
        "the start of the line (from 1).",
        base.get());
    if (!made) return made;
    return make_class(structure_lost_class, "qvtok.StructureLostError",
                      "The bytes after a record whose fault leaves no later record to be told\n"
                      "apart (a quote or bracket out of place in a JSON array): they were not\n"
                      "checked. `start` and `end` are their byte range, `end` None where the\n"
                      "input's size is not known (compressed input); `record` is the faulty\n"
                      "record's index, and `pos`, `lineno` and `colno` its fault's place.",
                      decode_error_class);
}

PyObject* decode_error_type() { return decode_error_class; }
PyObject* structure_lost_type() { return structure_lost_class; }

Expected<Done, CallError> make_compression_error_class() {
    if (compression_error_class != nullptr) return Done{};
    return make_class(compression_error_class, "qvtok.CompressionError",
                      "Compressed input that does not decode: corrupt, or cut short. `codec` names\n"
                      "the format (\"gzip\", \"zstd\", \"bzip2\", \"xz\") and `offset` the byte of\n"
                      "the compressed file where decoding stopped.",
                      PyExc_OSError);
}

PyObject* compression_error_type() { return compression_error_class; }

// Built as json.JSONDecodeError(msg, "", 0) would be, then given the
// positions the core found: the class computes them from the document text,
// which a stream no longer holds.
PyResult decode_error(const Error& error) {
    std::string message;
    const bool lost = error.code == ErrorCode::StructureLost;
    switch (error.code) {
        case ErrorCode::InvalidUtf8: message = msg::kInvalidUtf8; break;
        case ErrorCode::NoMatch: message = no_match_text(error); break;
        case ErrorCode::StructureLost: message = structure_lost_text(error); break;
        default:
            // json's own words where it has them: code written for
            // json.JSONDecodeError may look at them.
            if (const char* words = json_text(error.json_fault)) {
                message = words;
                break;
            }
            // bigjson names both lone surrogates "leading"; qvtok.open says which it met.
            message = error.syntax == json::Syntax::LoneTrailingSurrogate ? msg::kLoneTrailingSurrogate
                                                                         : syntax_text(error.syntax);
            if (error.syntax == json::Syntax::IntegerTooLong) {
                // The limit that refused it is the one in force during this call.
                auto limit = int_digit_limit();
                if (!limit) return std::move(limit).error();
                message += " (" + std::to_string(limit.value()) + msg::kIntegerTooLongEnd;
            }
            break;
    }
    // The file's position where the stream knows it, else the one within the
    // record's own text.
    std::uint64_t line = error.file_line != 0 ? error.file_line : error.line;
    std::uint64_t column = error.file_line != 0 ? error.file_column : error.column;
    std::string shown = message + ": line " + std::to_string(line) + " column " + std::to_string(column) +
                        " (char " + std::to_string(error.offset) + ")";

    PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return CallError::fetch();
    PyRef exc(PyObject_CallFunction(lost ? structure_lost_class : decode_error_class, "Osi", text.get(), "", 0));
    if (!exc) return CallError::fetch();
    if (lost) {
        PyRef start(PyLong_FromUnsignedLongLong(error.offset));
        PyRef end(error.end != 0 ? PyRef(PyLong_FromUnsignedLongLong(error.end)) : PyRef::borrow(Py_None));
        if (!start || !end || PyObject_SetAttrString(exc.get(), "start", start.get()) < 0 ||
            PyObject_SetAttrString(exc.get(), "end", end.get()) < 0)
            return CallError::fetch();
    }
    PyRef full(PyUnicode_DecodeUTF8(shown.data(), static_cast<Py_ssize_t>(shown.size()), "replace"));
    if (!full) return CallError::fetch();
    PyRef args(PyTuple_Pack(1, full.get()));
    if (!args || PyObject_SetAttrString(exc.get(), "args", args.get()) < 0) return CallError::fetch();
    struct Field {
        const char* name;
        std::uint64_t value;
    };
    for (Field f : {Field{"pos", error.offset}, Field{"lineno", line}, Field{"colno", column},
                    Field{"record", error.record}}) {
        PyRef value(PyLong_FromUnsignedLongLong(f.value));
        if (!value || PyObject_SetAttrString(exc.get(), f.name, value.get()) < 0) return CallError::fetch();
    }
    return exc;
}

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
        case ErrorCode::InvalidPointer: text = kInvalidPointer + quoted(error.subject); break;
        case ErrorCode::NoMatch: text = no_match_text(error); break;
        case ErrorCode::StructureLost: text = structure_lost_text(error); break;
        case ErrorCode::CorruptCompressed:
        case ErrorCode::TruncatedCompressed: {
            if (compression_error_class == nullptr) {
                cls = PyExc_OSError;
                text = compression_text(error);
                break;
            }
            return compression_error(error);
        }
        case ErrorCode::EncodeFailed:
            // Not the data's fault: any data compresses. The library broke.
            cls = PyExc_RuntimeError;
            text = error.subject + " compression failed: " + (error.detail != nullptr ? error.detail : "?");
            break;
        case ErrorCode::CodecUnavailable:
            cls = PyExc_RuntimeError;
            text = "this build of qvtok cannot handle " + error.subject + " data: install " +
                   codecs::codec_requirement(*codecs::codec_by_name(error.subject));
            break;
        case ErrorCode::Forked:
            cls = PyExc_RuntimeError;
            text = msg::kForked;
            break;
    }
    CallError out = deferred(cls, std::move(text));
    out.code_ = code_name(error.code);
    return out;
}

}  // namespace qvtok
