// The byte sets that count as white space, one predicate for each set.
#pragma once

namespace qvtok::json {

// JSON's own white space, between tokens: space, tab, line feed, carriage return.
constexpr bool is_json_space(unsigned char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// What the scanners of raw file bytes pass over around and between records:
// JSON's white space and the form feed. Vertical tab is not one of them, and
// neither is anything beyond ASCII.
constexpr bool is_scanner_space(unsigned char c) { return is_json_space(c) || c == '\f'; }

}  // namespace qvtok::json
