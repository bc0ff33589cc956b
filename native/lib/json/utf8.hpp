// UTF-8 validation and lossy decoding.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qvtok::json {

// True when the bytes are well-formed UTF-8 (no surrogates, no overlongs,
// nothing above U+10FFFF).
bool is_valid_utf8(const char* data, std::size_t size);
inline bool is_valid_utf8(std::string_view s) { return is_valid_utf8(s.data(), s.size()); }

// Replaces each maximal ill-formed subsequence with U+FFFD, as the Unicode
// standard recommends. Returns false and leaves `text` alone when it was
// already valid, so the common case copies nothing.
bool repair_utf8(std::string& text);

}  // namespace qvtok::json
