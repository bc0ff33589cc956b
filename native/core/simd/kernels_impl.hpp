// The kernels of kernels.hpp, written once over an instruction-set policy
// `Isa` and compiled once per policy (dispatch.cpp for the scalar and SSE2
// ones, avx2.cpp for AVX2).
//
// Only the including files may include this header, and each must hand it a
// policy type that lives in an unnamed namespace: the instantiations then stay
// private to their translation unit, so code compiled for AVX2 can never be
// picked by the linker for a caller that runs on the baseline. For the same
// reason everything here is a member of the template, and the helpers it
// uses from outside are either builtins or declared out of line.
//
// The policy provides, for one window of 64 bytes:
//   json_masks(p) -> JsonMasks   quote, backslash, open ("[" "{"), close ("]" "}"), comma
//   space_mask(p)               tab, line feed, form feed, carriage return, space
//   line_masks(p) -> LineMasks  line feed, 0x21 to 0x7F, non-ASCII
//   any_non_ascii(p)            whether a byte is 0x80 or above
//   control_mask(p)             bytes below 0x20 other than tab to carriage return
//   below_space_mask(p)         every byte below 0x20
//   prefix_xor(x)               bit i = xor of bits 0..i
//   Utf8(tail)                  a UTF-8 checker primed with the three bytes before the data:
//     pending()                 the previous window ended inside a character
//     ascii_window()            a window without non-ASCII bytes passed by
//     check(p, len) -> mask     lanes of ill-formed bytes (meaningful below len)
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/json/whitespace.hpp"
#include "core/simd/kernels.hpp"

namespace qvtok::json {
// Defined in utf8.cpp, compiled for the baseline.
std::size_t utf8_prefix_bytewise(const unsigned char* s, std::size_t n);
}  // namespace qvtok::json

namespace qvtok::simd {

namespace {

// Bit i = xor of bits 0..i: the inside of strings from the quote bits, for
// policies without a carry-less multiply. In the unnamed namespace, like the
// policies, so that no copy compiled for AVX2 can serve another file.
[[maybe_unused]] std::uint64_t prefix_xor_by_shifts(std::uint64_t x) {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

}  // namespace

struct JsonMasks {
    std::uint64_t quote, backslash, open, close, comma;
};

struct LineMasks {
    std::uint64_t line_feed, printable, non_ascii;
};

template <class Isa>
struct Kernels {
    static constexpr std::uint64_t kOddBits = 0xAAAAAAAAAAAAAAAAull;

    // Structure of one window, with strings taken out.
    struct Window {
        std::uint64_t structural;  // "[" "]" "{" "}" "," outside strings
        std::uint64_t opens;       // "[" "{" outside strings
        std::uint64_t closes;      // "]" "}" outside strings
        std::uint64_t content;     // bytes that start or are part of a value outside strings
        std::uint64_t controls;    // bytes below 0x20 inside strings
    };

    static int depth_delta(std::uint8_t c) {
        // "[" and "{" differ only in bit 5, and so do "]" and "}".
        std::uint8_t folded = static_cast<std::uint8_t>(c | 0x20);
        return static_cast<int>(folded == '{') - static_cast<int>(folded == '}');
    }

    static bool is_space(std::uint8_t c) { return json::is_scanner_space(c); }

    // The byte-by-byte rules, used where the wide path cannot be trusted: a
    // backslash outside a string is an ordinary byte there, while the wide
    // path would let it escape the byte after it.
    [[gnu::noinline, gnu::cold]] static Window exact_window(const std::uint8_t* w, std::size_t len, ArrayState& st) {
        bool in_string = st.in_string != 0;
        bool escaped = st.escaped != 0;
        Window out{0, 0, 0, 0, 0};
        for (std::size_t i = 0; i < len; ++i) {
            std::uint8_t c = w[i];
            std::uint64_t bit = 1ull << i;
            if (in_string) {
                if (c < 0x20) out.controls |= bit;
                if (escaped) {
                    escaped = false;
                } else if (c == '"') {
                    in_string = false;
                } else if (c == '\\') {
                    escaped = true;
                }
                continue;
            }
            switch (c) {
                case '"':
                    in_string = true;
                    out.content |= bit;
                    break;
                case '[':
                case '{':
                    out.structural |= bit;
                    out.opens |= bit;
                    out.content |= bit;
                    break;
                case ']':
                case '}':
                    out.structural |= bit;
                    out.closes |= bit;
                    break;
                case ',':
                    out.structural |= bit;
                    break;
                default:
                    if (!is_space(c)) out.content |= bit;
            }
        }
        st.in_string = in_string ? ~0ull : 0;
        st.escaped = escaped ? 1 : 0;
        return out;
    }

    // Classifies w[0, len) (len <= 64; bytes past len are zero) and moves the
    // string state past it.
    [[gnu::always_inline]] static Window window(const std::uint8_t* w, std::size_t len, ArrayState& st, bool want_content,
                                                bool want_controls = false) {
        const ArrayState start = st;
        JsonMasks m = Isa::json_masks(w);
        // Which bytes a backslash escapes: runs of backslashes escape
        // alternately, the parity found with one subtraction.
        std::uint64_t escaped_bytes;
        std::uint64_t escapes;
        if (m.backslash == 0) {
            escaped_bytes = st.escaped;
            escapes = 0;
        } else {
            std::uint64_t potential = m.backslash & ~st.escaped;
            std::uint64_t code = (((potential << 1) | kOddBits) - potential) ^ kOddBits;
            escaped_bytes = code ^ (m.backslash | st.escaped);
            escapes = code & m.backslash;
        }
        std::uint64_t quotes = m.quote & ~escaped_bytes;
        // Inside a string: from an opening quote up to, not including, its closing quote.
        std::uint64_t inside = Isa::prefix_xor(quotes) ^ st.in_string;
        if (m.backslash & ~inside) {
            st = start;
            return exact_window(w, len, st);
        }
        unsigned last = static_cast<unsigned>(len - 1);
        st.escaped = (escapes >> last) & 1;
        st.in_string = ((inside >> last) & 1) ? ~0ull : 0;
        Window out;
        out.opens = m.open & ~inside;
        out.closes = m.close & ~inside;
        out.structural = out.opens | out.closes | (m.comma & ~inside);
        out.content = 0;
        out.controls = 0;
        if (want_controls) out.controls = Isa::below_space_mask(w) & inside & valid_mask(len);
        if (want_content) {
            std::uint64_t outside = ~inside & valid_mask(len);
            std::uint64_t neutral = Isa::space_mask(w) | m.comma | m.close | m.quote;
            out.content = (outside & ~neutral) | (quotes & inside);
        }
        return out;
    }

    // The window of data[off, n) that starts at off: in place when 64 bytes
    // remain, else copied into `pad` and filled up with zero bytes.
    static const std::uint8_t* window_at(const std::uint8_t* data, std::size_t n, std::size_t off,
                                         std::uint8_t* pad, std::size_t& len) {
        len = n - off;
        if (len >= 64) {
            len = 64;
            return data + off;
        }
        __builtin_memcpy(pad, data + off, len);
        __builtin_memset(pad + len, 0, 64 - len);
        return pad;
    }

    static std::uint64_t valid_mask(std::size_t len) { return len == 64 ? ~0ull : (1ull << len) - 1; }
    // Bits k and above; none for k = 64.
    static std::uint64_t bits_from(std::size_t k) { return k >= 64 ? 0 : ~0ull << k; }

    // Depth cannot reach 1 inside a window that starts at `depth` and holds
    // these brackets; such a window needs no walk.
    static bool stays_off_top(std::int64_t depth, const Window& win) {
        std::int64_t closes = __builtin_popcountll(win.closes);
        std::int64_t opens = __builtin_popcountll(win.opens);
        return depth - closes >= 2 || depth + opens <= 0;
    }

    static std::int64_t net_depth(const Window& win) {
        return static_cast<std::int64_t>(__builtin_popcountll(win.opens)) -
               static_cast<std::int64_t>(__builtin_popcountll(win.closes));
    }

    // The kind bit of a bracket: 1 for "{" and "}", 0 for "[" and "]".
    static std::uint64_t kind_of(std::uint8_t c) { return (c >> 5) & 1; }

    static constexpr std::uint64_t kCheckedLevels = 128;

    [[gnu::cold]] static Found mismatch(ArrayState& st, std::int64_t depth, std::size_t at) {
        // The closer is outside strings; its depth tells the caller whether
        // it closed the top-level array.
        st.in_string = 0;
        st.escaped = 0;
        st.depth = depth;
        return Found{at, Stop::Mismatch};
    }

    // Walks the brackets and commas `structural` of one window. True at a
    // stop, which `found` then holds; else the state moves past them.
    //
    // The kinds of the open brackets below the top-level "[" form a stack
    // of bits, the innermost in bit 0 of kinds[0]. While the whole stack
    // fits in that word, the walk keeps it in a register and has no branch
    // on a bracket's kind: mismatches are gathered and looked at after the
    // window, and the rare window with one is walked again exactly.
    //
    // Unlike count_array, this walks the brackets of every window, also of
    // those that cannot reach depth 1: each bracket's kind is checked.
    [[gnu::always_inline]] static bool walk(const std::uint8_t* w, const Window& win, std::uint64_t structural,
                                            std::size_t off, ArrayState& st, Found& found) {
        const std::int64_t depth0 = st.depth;
        const std::uint64_t opens = __builtin_popcountll(win.opens & structural);
        if (depth0 < 1 || static_cast<std::uint64_t>(depth0 - 1) + opens > 64) {
            return walk_deep(w, structural, off, st, found);
        }
        std::uint64_t stack = st.kinds[0];
        std::uint64_t bad = 0;
        std::int64_t depth = depth0;
        // Only brackets are walked one by one: a comma matters only at depth
        // 1, and between two brackets the depth stands still, so the commas
        // up to the next bracket are looked at together, and only there.
        // Dense data (arrays of coordinates, of numbers) has most of its
        // commas below depth 1.
        const std::uint64_t brackets = structural & (win.opens | win.closes);
        std::uint64_t commas = structural & ~brackets;
        for (std::uint64_t bits = brackets;; bits &= bits - 1) {
            const std::uint64_t next = bits & (0 - bits);  // the next bracket; 0 when none is left
            if (depth == 1) {
                std::uint64_t top = commas & (next - 1);  // all the rest when none is left
                if (top != 0) {
                    if (bad != 0) break;
                    st.kinds[0] = stack;
                    found = stop(st, off + static_cast<unsigned>(__builtin_ctzll(top)), Stop::Comma);
                    return true;
                }
            }
            if (bits == 0) break;
            unsigned i = static_cast<unsigned>(__builtin_ctzll(bits));
            std::uint64_t c = w[i];
            std::uint64_t open = (c >> 1) & 1;  // "[" "{"; else "]" "}"
            std::uint64_t kind = (c >> 5) & 1;
            if (depth == 1 && open == 0) {
                if (bad != 0) break;
                st.kinds[0] = stack;
                found = kind == 0 ? stop(st, off + i, Stop::Close) : mismatch(st, depth, off + i);
                return true;
            }
            std::uint64_t close = open ^ 1;
            bad |= close & (stack ^ kind);
            stack = open != 0 ? (stack << 1) | kind : stack >> close;
            depth += static_cast<std::int64_t>(open) - static_cast<std::int64_t>(close);
            commas &= ~((next << 1) - 1);  // those before this bracket are passed
        }
        if ((bad & 1) != 0) return walk_deep(w, structural, off, st, found);
        st.kinds[0] = stack;
        st.depth = depth;
        return false;
    }

    [[gnu::noinline]] static bool walk_deep(const std::uint8_t* w, std::uint64_t structural, std::size_t off,
                                            ArrayState& st, Found& found) {
        std::int64_t depth = st.depth;
        for (std::uint64_t bits = structural; bits != 0; bits &= bits - 1) {
            unsigned i = static_cast<unsigned>(__builtin_ctzll(bits));
            std::uint8_t c = w[i];
            if (c == ',') {
                if (depth == 1) {
                    found = stop(st, off + i, Stop::Comma);
                    return true;
                }
                continue;
            }
            std::uint64_t kind = kind_of(c);
            if ((c & 0x02) != 0) {
                // "[" or "{" opens level depth + 1. One comparison also
                // skips the depths below 1 that a caller may go on at after
                // a mismatch.
                if (static_cast<std::uint64_t>(depth - 1) < kCheckedLevels - 1) {
                    st.kinds[1] = (st.kinds[1] << 1) | (st.kinds[0] >> 63);
                    st.kinds[0] = (st.kinds[0] << 1) | kind;
                }
                ++depth;
                continue;
            }
            if (depth == 1) {
                found = kind == 0 ? stop(st, off + i, Stop::Close) : mismatch(st, depth, off + i);
                return true;
            }
            // "]" or "}" closes level `depth`.
            if (static_cast<std::uint64_t>(depth - 2) < kCheckedLevels - 1) {
                if ((st.kinds[0] & 1) != kind) {
                    found = mismatch(st, depth, off + i);
                    return true;
                }
                st.kinds[0] = (st.kinds[0] >> 1) | (st.kinds[1] << 63);
                st.kinds[1] >>= 1;
            }
            --depth;
        }
        st.depth = depth;
        return false;
    }

    static Found stop(ArrayState& st, std::size_t at, Stop why) {
        st = ArrayState{};
        return Found{at, why};
    }

    static Found find_separator(const char* data, std::size_t n, ArrayState& st) {
        const std::uint8_t* bytes = reinterpret_cast<const std::uint8_t*>(data);
        alignas(64) std::uint8_t pad[64];
        for (std::size_t off = 0; off < n; off += 64) {
            std::size_t len;
            const std::uint8_t* w = window_at(bytes, n, off, pad, len);
            Window win = window(w, len, st, false, true);
            // Only brackets before the first control byte count.
            std::uint64_t structural = win.structural;
            if (win.controls != 0) structural &= win.controls ^ (win.controls - 1);
            Found found;
            if (structural != 0 && walk(w, win, structural, off, st, found)) return found;
            if (win.controls != 0) return Found{off + static_cast<std::size_t>(__builtin_ctzll(win.controls)), Stop::Control};
        }
        return Found{n, Stop::More};
    }

    static Found skip_value(const char* data, std::size_t n, ArrayState& st) {
        const std::uint8_t* bytes = reinterpret_cast<const std::uint8_t*>(data);
        alignas(64) std::uint8_t pad[64];
        for (std::size_t off = 0; off < n; off += 64) {
            std::size_t len;
            const std::uint8_t* w = window_at(bytes, n, off, pad, len);
            Window win = window(w, len, st, false);
            if (win.structural == 0) continue;
            if (stays_off_top(st.depth, win)) {
                st.depth += net_depth(win);
                continue;
            }
            std::int64_t depth = st.depth;
            for (std::uint64_t bits = win.structural; bits != 0; bits &= bits - 1) {
                unsigned i = static_cast<unsigned>(__builtin_ctzll(bits));
                std::uint8_t c = w[i];
                if (c == ',') {
                    if (depth == 1) return stop(st, off + i, Stop::Comma);
                    continue;
                }
                if ((c & 0x02) != 0) {
                    ++depth;
                    continue;
                }
                if (depth == 1) return stop(st, off + i, Stop::Close);
                --depth;
            }
            st.depth = depth;
        }
        return Found{n, Stop::More};
    }

    // Counting records: see pass_elements in kernels.hpp. Brackets are
    // walked as find_separator walks them; the commas at depth 1 between two
    // brackets are taken together, each ending an element that is passed
    // when it holds content. Anything the stream's own way must judge (a
    // closer at depth 1, a closer of the wrong kind, a control byte in a
    // string, a byte above 0x7F outside strings, an element without content,
    // nesting too deep for the register stack) stops the pass at the start
    // of the element that holds it.
    static std::size_t pass_elements(const char* data, std::size_t n, std::uint64_t& passed) {
        const std::uint8_t* bytes = reinterpret_cast<const std::uint8_t*>(data);
        alignas(64) std::uint8_t pad[64];
        ArrayState st;
        std::size_t element = 0;  // where the element being looked at starts
        bool content = false;     // it has content in earlier windows
        for (std::size_t off = 0; off < n; off += 64) {
            std::size_t len;
            const std::uint8_t* w = window_at(bytes, n, off, pad, len);
            Window win = window(w, len, st, true, true);
            // Content outside strings above 0x7F may be Unicode white space,
            // which only the stream's way tells from content.
            const std::uint64_t stray = win.content & Isa::line_masks(w).non_ascii;
            if (win.controls != 0 || stray != 0) return element;
            const std::int64_t depth0 = st.depth;
            if (static_cast<std::uint64_t>(depth0 - 1) + static_cast<std::uint64_t>(__builtin_popcountll(win.opens)) > 64)
                return element;
            std::uint64_t stack = st.kinds[0];
            std::uint64_t bad = 0;
            std::int64_t depth = depth0;
            const std::uint64_t brackets = win.opens | win.closes;
            std::uint64_t commas = win.structural & ~brackets;
            for (std::uint64_t bits = brackets;; bits &= bits - 1) {
                const std::uint64_t next = bits & (0 - bits);
                if (depth == 1) {
                    for (std::uint64_t top = commas & (next - 1); top != 0; top &= top - 1) {
                        const unsigned c = static_cast<unsigned>(__builtin_ctzll(top));
                        // The element's bytes in this window: from its start
                        // (or the window's) up to the comma.
                        std::uint64_t mine = (c == 0 ? 0 : ~0ull >> (64 - c));
                        if (element > off) mine &= bits_from(element - off);
                        if (bad != 0 || (!content && (win.content & mine) == 0)) return element;
                        ++passed;
                        element = off + c + 1;
                        content = false;
                    }
                }
                if (bits == 0) break;
                const unsigned i = static_cast<unsigned>(__builtin_ctzll(bits));
                const std::uint64_t ch = w[i];
                const std::uint64_t open = (ch >> 1) & 1;
                const std::uint64_t kind = (ch >> 5) & 1;
                if (depth == 1 && open == 0) return element;
                const std::uint64_t close = open ^ 1;
                bad |= close & (stack ^ kind);
                stack = open != 0 ? (stack << 1) | kind : stack >> close;
                depth += static_cast<std::int64_t>(open) - static_cast<std::int64_t>(close);
                commas &= ~((next << 1) - 1);
            }
            if (bad != 0) return element;
            std::uint64_t rest = valid_mask(len);
            if (element > off) rest &= bits_from(element - off);
            content = content || (win.content & rest) != 0;
            st.kinds[0] = stack;
            st.depth = depth;
        }
        return element;
    }

    static void count_array(const char* data, std::size_t n, CountState& st) {
        const std::uint8_t* bytes = reinterpret_cast<const std::uint8_t*>(data);
        alignas(64) std::uint8_t pad[64];
        for (std::size_t off = 0; off < n; off += 64) {
            std::size_t len;
            const std::uint8_t* w = window_at(bytes, n, off, pad, len);
            if (!st.has_content) {
                count_window_seeking_content(w, len, st);
                continue;
            }
            Window win = window(w, len, st, false);
            std::uint64_t commas = win.structural & ~(win.opens | win.closes);
            if (commas == 0 || stays_off_top(st.depth, win)) {
                st.depth += net_depth(win);
                continue;
            }
            std::int64_t depth = st.depth;
            std::uint64_t separators = 0;
            for (std::uint64_t bits = win.structural; bits != 0; bits &= bits - 1) {
                std::uint8_t c = w[__builtin_ctzll(bits)];
                separators += static_cast<std::uint64_t>((c == ',') & (depth == 1));
                depth += depth_delta(c);
            }
            st.depth = depth;
            st.separators += separators;
        }
    }

    // Until something that can be a value turns up at depth 1, every byte
    // outside strings has to be looked at, not only the brackets and commas.
    [[gnu::noinline]] static void count_window_seeking_content(const std::uint8_t* w, std::size_t len, CountState& st) {
        Window win = window(w, len, st, true);
        std::int64_t depth = st.depth;
        for (std::uint64_t bits = win.structural | win.content; bits != 0; bits &= bits - 1) {
            unsigned i = static_cast<unsigned>(__builtin_ctzll(bits));
            std::uint64_t bit = 1ull << i;
            if ((win.content & bit) && depth == 1) st.has_content = true;
            if (win.structural & bit) {
                std::uint8_t c = w[i];
                st.separators += static_cast<std::uint64_t>((c == ',') & (depth == 1));
                depth += depth_delta(c);
            }
        }
        st.depth = depth;
    }

    // Bytes of a White_Space character beyond ASCII start with C2, E1, E2 or
    // E3; any other lead byte makes the line significant at once.
    static bool white_space_sequence(const std::uint8_t* s, std::size_t len) {
        if (len == 2) return s[0] == 0xC2 && (s[1] == 0x85 || s[1] == 0xA0);
        if (s[0] == 0xE1) return s[1] == 0x9A && s[2] == 0x80;
        if (s[0] == 0xE3) return s[1] == 0x80 && s[2] == 0x80;
        if (s[1] == 0x80) return s[2] <= 0x8A || s[2] == 0xA8 || s[2] == 0xA9 || s[2] == 0xAF;
        return s[1] == 0x81 && s[2] == 0x9F;
    }

    // Walks the non-ASCII bytes `mask` of a line that has shown nothing but
    // white space so far; true when one of them belongs to another character.
    // Ill-formed input is the UTF-8 check's business: any answer will do.
    static bool non_white_beyond_ascii(const std::uint8_t* w, std::uint64_t mask, LineState& st) {
        for (; mask != 0; mask &= mask - 1) {
            std::uint8_t b = w[__builtin_ctzll(mask)];
            if (st.need == 0) {
                if (b != 0xC2 && b != 0xE1 && b != 0xE2 && b != 0xE3) return true;
                st.partial[0] = b;
                st.pending = 1;
                st.need = b == 0xC2 ? 1 : 2;
                continue;
            }
            st.partial[st.pending++] = b;
            if (--st.need == 0) {
                if (!white_space_sequence(st.partial, st.pending)) return true;
                st.pending = 0;
            }
        }
        return false;
    }

    // Whether the bytes `part` of a window, none of them 0x21 to 0x7F, hold
    // something besides White_Space: a control byte, or a character beyond
    // ASCII that is not White_Space.
    [[gnu::noinline]] static bool rarely_significant(const std::uint8_t* w, const LineMasks& m, std::uint64_t part,
                                                     LineState& st) {
        if (part == 0) return false;
        if (st.json_space) {
            // Past the space itself, only tab and carriage return are blank.
            if ((m.non_ascii & part) != 0) return true;
            for (std::uint64_t low = Isa::below_space_mask(w) & part; low != 0; low &= low - 1) {
                const std::uint8_t b = w[__builtin_ctzll(low)];
                if (b != '\t' && b != '\r') return true;
            }
            return false;
        }
        if ((Isa::control_mask(w) & part) != 0) return true;
        std::uint64_t high = m.non_ascii & part;
        return high != 0 && non_white_beyond_ascii(w, high, st);
    }

    static bool tail_incomplete(const std::uint8_t* tail) {
        return tail[2] >= 0xC0 || tail[1] >= 0xE0 || tail[0] >= 0xF0;
    }

    static std::size_t count_lines(const char* data, std::size_t n, LineState& st) {
        // In text where most windows hold characters beyond ASCII, every
        // window is checked: deciding window by window would be a coin toss
        // for the branch predictor. The previous buffer tells which kind of
        // text this is.
        if (st.count_line_feeds)
            return st.mostly_non_ascii ? scan_lines<true, true>(data, n, st) : scan_lines<false, true>(data, n, st);
        return st.mostly_non_ascii ? scan_lines<true, false>(data, n, st) : scan_lines<false, false>(data, n, st);
    }

    template <bool kCheckAll, bool kCountFeeds>
    static std::size_t scan_lines(const char* data, std::size_t n, LineState& st) {
        const std::uint8_t* bytes = reinterpret_cast<const std::uint8_t*>(data);
        alignas(64) std::uint8_t pad[64];
        typename Isa::Utf8 utf8(st.tail);
        std::uint64_t lines = st.lines;
        std::uint64_t line_feeds = st.line_feeds;
        bool significant = st.significant;
        std::uint64_t non_ascii_windows = 0;
        for (std::size_t off = 0; off < n; off += 64) {
            std::size_t len;
            const std::uint8_t* w = window_at(bytes, n, off, pad, len);
            std::uint64_t valid = valid_mask(len);
            LineMasks m = Isa::line_masks(w);
            non_ascii_windows += m.non_ascii != 0 ? 1 : 0;
            if (kCheckAll || m.non_ascii != 0 || utf8.pending()) {
                std::uint64_t errors = utf8.check(w, len) & valid;
                if (errors != 0) {
                    st.lines = lines;
                    st.line_feeds = line_feeds;
                    return off + static_cast<std::size_t>(__builtin_ctzll(errors));
                }
            } else {
                utf8.ascii_window();
            }
            std::uint64_t rest = valid;
            if constexpr (kCountFeeds) line_feeds += static_cast<std::uint64_t>(__builtin_popcountll(m.line_feed & valid));
            for (std::uint64_t feeds = m.line_feed; feeds != 0; feeds &= feeds - 1) {
                std::uint64_t bit = feeds & (0 - feeds);
                std::uint64_t line = (bit - 1) & rest;
                if (!significant) significant = (m.printable & line) != 0 || rarely_significant(w, m, line, st);
                lines += significant ? 1 : 0;
                significant = false;
                st.need = 0;
                st.pending = 0;
                rest &= ~(bit | (bit - 1));
            }
            if (!significant) significant = (m.printable & rest) != 0 || rarely_significant(w, m, rest, st);
        }
        st.lines = lines;
        st.line_feeds = line_feeds;
        st.significant = significant;
        st.mostly_non_ascii = non_ascii_windows * 64 * 3 > n;
        if (n >= 3) {
            __builtin_memcpy(st.tail, bytes + n - 3, 3);
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                st.tail[0] = st.tail[1];
                st.tail[1] = st.tail[2];
                st.tail[2] = bytes[i];
            }
        }
        return n;
    }

    // The whole-text check, on the same checker as the line counter. Faults
    // are gathered over groups of windows and looked at once a group; the
    // checkers flag a bad sequence within three bytes after its start, so
    // once a group has one, the exact place is found byte by byte from a
    // character boundary a little before the group.
    static std::size_t valid_utf8_prefix(const char* data, std::size_t n) {
        constexpr std::size_t kGroup = 16 * 64;
        const std::uint8_t* bytes = reinterpret_cast<const std::uint8_t*>(data);
        const std::uint8_t none[3] = {0, 0, 0};
        typename Isa::Utf8 utf8(none);
        std::size_t group = 0;
        std::size_t off = 0;
        for (; n - off >= 64; off += 64) {
            if (off - group == kGroup) {
                if (utf8.failed()) return exact_utf8_prefix(bytes, n, group);
                group = off;
            }
            if (Isa::any_non_ascii(bytes + off)) {
                utf8.add(bytes + off);
            } else {
                utf8.add_ascii();
            }
        }
        if (off < n) {
            // The zero bytes that pad the last window flag a character cut
            // off by the end of the text.
            alignas(64) std::uint8_t pad[64] = {};
            __builtin_memcpy(pad, bytes + off, n - off);
            utf8.add(pad);
        }
        utf8.finish();
        if (utf8.failed()) return exact_utf8_prefix(bytes, n, group);
        return n;
    }

    [[gnu::noinline, gnu::cold]] static std::size_t exact_utf8_prefix(const std::uint8_t* bytes, std::size_t n,
                                                                      std::size_t off) {
        std::size_t from = off >= 3 ? off - 3 : 0;
        // Continuation bytes here finish a character that began earlier.
        for (int k = 0; k < 3 && from < n && (bytes[from] & 0xC0) == 0x80 && from > 0; ++k) ++from;
        return from + json::utf8_prefix_bytewise(bytes + from, n - from);
    }

    static std::uint64_t count_line_feeds(const char* data, std::size_t n) {
        const std::uint8_t* bytes = reinterpret_cast<const std::uint8_t*>(data);
        alignas(64) std::uint8_t pad[64];
        std::uint64_t total = 0;
        for (std::size_t off = 0; off < n; off += 64) {
            std::size_t len;
            const std::uint8_t* w = window_at(bytes, n, off, pad, len);
            total += static_cast<std::uint64_t>(__builtin_popcountll(Isa::line_masks(w).line_feed & valid_mask(len)));
        }
        return total;
    }
};

}  // namespace qvtok::simd
