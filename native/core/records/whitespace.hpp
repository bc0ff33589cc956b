// Byte classes shared by the scanners that look at raw file bytes.
#pragma once

namespace qvtok::records {

// Tab, line feed, form feed, carriage return and space. Vertical tab is not
// one of them, and neither is anything beyond ASCII.
constexpr bool is_scanner_space(unsigned char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f';
}

}  // namespace qvtok::records
