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

// The same faults as Python's json module tells them, for readers that
// show json's words: finer than Syntax where json's word depends on where
// the fault stands (an end of text after "[" wants a value, after a value
// a comma), and None where json has no word, because it reads the text
// (lone surrogates, huge exponents) or stops it otherwise (nesting).
enum class JsonFault : std::uint8_t {
    None,
    ExpectingValue,
    ExpectingDelimiter,     // a comma
    ExpectingColon,
    ExpectingPropertyName,  // a key in double quotes
    UnterminatedString,     // named at its opening quote
    InvalidControl,
    InvalidEscape,          // named at its backslash
    InvalidUnicodeEscape,   // named at its "u"
    ExtraData,
    TrailingCommaArray,     // named at the comma, where the reader is told to
    TrailingCommaObject,
};

// json's fault for one that is found outside the reader, by code that
// walks the text's structure without reading its values: there the
// context that refines a Syntax is plain from the Syntax alone.
constexpr JsonFault json_fault_for(Syntax syntax) {
    switch (syntax) {
        case Syntax::EofValue:
        case Syntax::ExpectedValue: return JsonFault::ExpectingValue;
        case Syntax::KeyMustBeString: return JsonFault::ExpectingPropertyName;
        case Syntax::ExpectedColon: return JsonFault::ExpectingColon;
        case Syntax::ExpectedListEnd:
        case Syntax::ExpectedObjectEnd:
        case Syntax::MismatchedBracket: return JsonFault::ExpectingDelimiter;
        case Syntax::TrailingCharacters: return JsonFault::ExtraData;
        case Syntax::ControlCharacter: return JsonFault::InvalidControl;
        case Syntax::InvalidEscape: return JsonFault::InvalidEscape;
        default: return JsonFault::None;
    }
}

}  // namespace qvtok::json
