// A byte-by-byte model of the kernels, and a differential check that runs
// every policy the processor has on the same bytes, fed in pieces split at
// given places, and compares them with the model and with each other.
// Shared by test_kernels.cpp and the in-process fuzzer fuzz_kernels.cpp.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/simd/kernels.hpp"

namespace qvtok::model {

using simd::Stop;

// Well-formed UTF-8 from code point ranges, independent of the lead table
// the kernels share: the length of the longest prefix of whole characters.
inline std::size_t utf8_prefix(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80 ? 1 : c >= 0xC0 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xF0 && c < 0xF8 ? 4 : 0;
        if (len == 0 || i + len > s.size()) return i;
        std::uint32_t cp = len == 1 ? c : c & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) {
            unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return i;
            cp = cp << 6 | (d & 0x3F);
        }
        static constexpr std::uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
        i += len;
    }
    return i;
}

inline bool white_space(std::uint32_t cp) {
    return (cp >= 9 && cp <= 13) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
           cp == 0x3000;
}

// Lines that hold a character outside White_Space (outside JSON's space,
// tab and carriage return with `json_space`), in valid UTF-8 text.
inline std::uint64_t significant_lines(std::string_view s, bool& open_significant, bool json_space) {
    std::uint64_t lines = 0;
    bool significant = false;
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        std::uint32_t cp = len == 1 ? c : c & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        i += len;
        if (cp == '\n') {
            lines += significant ? 1 : 0;
            significant = false;
        } else if (json_space ? cp != ' ' && cp != '\t' && cp != '\r' : !white_space(cp)) {
            significant = true;
        }
    }
    open_significant = significant;
    return lines;
}

// The array scanner's rules, one byte at a time, over the bytes after the
// top-level "[". Records each stop as (offset, stop) and goes on after
// commas; ends at any other stop.
struct SeparatorModel {
    bool in_string = false, escaped = false;
    std::int64_t depth = 1;
    std::vector<int> kinds{0};  // level 1 is a "["

    std::vector<std::pair<std::size_t, Stop>> run(std::string_view s) {
        std::vector<std::pair<std::size_t, Stop>> out;
        for (std::size_t i = 0; i < s.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(s[i]);
            if (in_string) {
                if (c < 0x20) {
                    out.emplace_back(i, Stop::Control);
                    return out;
                }
                if (escaped) escaped = false;
                else if (c == '"') in_string = false;
                else if (c == '\\') escaped = true;
                continue;
            }
            if (c == '"') {
                in_string = true;
            } else if (c == ',' && depth == 1) {
                out.emplace_back(i, Stop::Comma);
            } else if (c == '[' || c == '{') {
                if (depth < 128) kinds.resize(static_cast<std::size_t>(depth) + 1), kinds[depth] = c == '{';
                ++depth;
            } else if (c == ']' || c == '}') {
                if (depth <= 128 && kinds[static_cast<std::size_t>(depth - 1)] != (c == '}')) {
                    out.emplace_back(i, Stop::Mismatch);
                    return out;
                }
                if (depth == 1) {
                    out.emplace_back(i, Stop::Close);
                    return out;
                }
                --depth;
            }
        }
        return out;
    }
};

// The value skipper's rules: stops at "," at depth 1 or at any closer that
// closes depth 1, brackets of either kind alike.
inline std::vector<std::pair<std::size_t, Stop>> skip_stops(std::string_view s) {
    std::vector<std::pair<std::size_t, Stop>> out;
    bool in_string = false, escaped = false;
    std::int64_t depth = 1;
    for (std::size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (in_string) {
            if (escaped) escaped = false;
            else if (c == '"') in_string = false;
            else if (c == '\\') escaped = true;
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == ',' && depth == 1) {
            out.emplace_back(i, Stop::Comma);
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            if (depth == 1) {
                out.emplace_back(i, Stop::Close);
                return out;
            }
            --depth;
        }
    }
    return out;
}

struct CountModel {
    std::uint64_t separators = 0;
    bool has_content = false;
    std::int64_t depth = 1;

    void run(std::string_view s) {
        bool in_string = false, escaped = false;
        for (unsigned char c : s) {
            if (in_string) {
                if (escaped) escaped = false;
                else if (c == '"') in_string = false;
                else if (c == '\\') escaped = true;
                continue;
            }
            bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
            bool neutral = space || c == ',' || c == ']' || c == '}';
            if (!neutral && depth == 1) has_content = true;
            if (c == '"') in_string = true;
            if (c == ',' && depth == 1) ++separators;
            if (c == '[' || c == '{') ++depth;
            if (c == ']' || c == '}') --depth;
        }
    }
};

// pass_elements' rules, one byte at a time: the start of every element it
// may stop at, in order, the last being where a full pass stops; and
// whether the text holds anything that lets the kernel stop sooner (a
// control byte in a string, a byte above 0x7F outside strings, a closer of
// the wrong kind, nesting past 60), without which it must pass in full.
struct PassModel {
    std::vector<std::size_t> starts{0};
    bool hazards = false;

    void run(std::string_view s) {
        bool in_string = false, escaped = false, content = false, stopped = false;
        std::vector<char> open;
        for (std::size_t i = 0; i < s.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(s[i]);
            if (in_string) {
                if (c < 0x20) hazards = stopped = true;
                if (escaped) escaped = false;
                else if (c == '"') in_string = false;
                else if (c == '\\') escaped = true;
                continue;
            }
            if (c >= 0x80) hazards = stopped = true;
            bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
            if (!space && c != ',' && c != ']' && c != '}') content = true;
            if (c == '"') in_string = true;
            if (c == '[' || c == '{') {
                open.push_back(static_cast<char>(c));
                if (open.size() >= 60) hazards = true;
            } else if (c == ']' || c == '}') {
                if (open.empty()) stopped = true;  // the array's closer
                else if ((open.back() == '[') != (c == ']')) hazards = stopped = true;
                else open.pop_back();
            } else if (c == ',' && open.empty() && !stopped) {
                if (!content) stopped = true;
                else starts.push_back(i + 1);
                content = false;
            }
        }
    }
};

inline const char* isa_name(simd::Isa isa) {
    return isa == simd::Isa::Scalar ? "scalar" : isa == simd::Isa::Sse2 ? "sse2" : "avx2";
}

// The pieces of `text` cut at the sorted offsets `cuts`.
inline std::vector<std::string_view> pieces(std::string_view text, const std::vector<std::size_t>& cuts) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
        cut = std::min(std::max(cut, at), text.size());
        out.push_back(text.substr(at, cut - at));
        at = cut;
    }
    out.push_back(text.substr(at));
    return out;
}

// Runs every available policy on `text` split at `cuts` and returns a
// description of the first disagreement, or an empty string.
inline std::string differ(std::string_view text, std::vector<std::size_t> cuts) {
    std::sort(cuts.begin(), cuts.end());
    std::vector<std::string_view> parts = pieces(text, cuts);
    std::ostringstream why;

    auto want_stops = SeparatorModel{}.run(text);
    CountModel want_count;
    want_count.run(text);
    PassModel want_pass;
    want_pass.run(text);
    const std::size_t want_prefix = utf8_prefix(text);
    const bool valid = want_prefix == text.size();
    auto line_of = [&](std::size_t at) { return std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n'); };

    for (simd::Isa isa : {simd::Isa::Scalar, simd::Isa::Sse2, simd::Isa::Avx2}) {
        const simd::KernelSet* k = simd::kernel_set(isa);
        if (k == nullptr) continue;
        const char* name = isa_name(isa);

        // find_separator: each piece is fed until it is used up, going on
        // after a comma as the element scanner does.
        // Feeds one scanning kernel the parts in order, going on after each
        // comma and stopping at any other stop, as the stream does.
        auto run = [&](auto scan, const char* what) {
            std::vector<std::pair<std::size_t, Stop>> found;
            simd::ArrayState st;
            std::size_t base = 0;
            bool ended = false;
            for (std::string_view part : parts) {
                std::size_t pos = 0;
                while (!ended) {
                    simd::Found f = scan(part.data() + pos, part.size() - pos, st);
                    if (f.stop == Stop::More) {
                        if (f.offset != part.size() - pos) why << name << ": " << what << " More at " << f.offset << "\n";
                        break;
                    }
                    found.emplace_back(base + pos + f.offset, f.stop);
                    if (f.stop != Stop::Comma) ended = true;
                    pos += f.offset + 1;
                }
                base += part.size();
            }
            return found;
        };
        std::vector<std::pair<std::size_t, Stop>> stops = run(k->find_separator, "find_separator");
        if (stops != want_stops) {
            why << name << ": find_separator gives";
            for (auto& s : stops) why << " " << s.first << "/" << int(s.second);
            why << ", the model";
            for (auto& s : want_stops) why << " " << s.first << "/" << int(s.second);
            why << "\n";
        }

        // skip_value, fed the same way.
        std::vector<std::pair<std::size_t, Stop>> skips = run(k->skip_value, "skip_value");
        if (skips != skip_stops(text)) why << name << ": skip_value differs from its model\n";

        // pass_elements, on the whole text: at one of the model's element
        // starts, with the elements before it counted; at the last one
        // when nothing lets it stop sooner.
        {
            std::uint64_t passed = 0;
            std::size_t at = k->pass_elements(text.data(), text.size(), passed);
            bool fits = passed < want_pass.starts.size() && want_pass.starts[passed] == at;
            bool full = passed + 1 == want_pass.starts.size();
            if (!fits || (!want_pass.hazards && !full))
                why << name << ": pass_elements stops at " << at << " after " << passed << ", the model at "
                    << want_pass.starts.back() << " after " << want_pass.starts.size() - 1 << "\n";
        }

        simd::CountState count;
        for (std::string_view part : parts) k->count_array(part.data(), part.size(), count);
        if (count.separators != want_count.separators || count.has_content != want_count.has_content ||
            count.depth != want_count.depth) {
            why << name << ": count_array " << count.separators << "/" << count.has_content << "/" << count.depth
                << ", the model " << want_count.separators << "/" << want_count.has_content << "/"
                << want_count.depth << "\n";
        }

        for (bool json_space : {false, true}) {
            std::uint64_t want_lines = 0;
            bool want_open = false;
            if (valid) want_lines = significant_lines(text, want_open, json_space);
            simd::LineState lines;
            lines.json_space = json_space;
            lines.count_line_feeds = json_space;  // one rule with every line counted, one without
            std::size_t bad = text.size();
            std::size_t base = 0;
            for (std::string_view part : parts) {
                std::size_t at = k->count_lines(part.data(), part.size(), lines);
                if (at != part.size()) {
                    bad = base + at;
                    break;
                }
                base += part.size();
            }
            bool partial = bad == text.size() && simd::ends_in_partial_character(lines);
            if (valid) {
                if (bad != text.size() || partial || lines.lines != want_lines || lines.significant != want_open ||
                    lines.line_feeds != (json_space ? static_cast<std::uint64_t>(line_of(text.size())) : 0)) {
                    why << name << ": count_lines (json space " << json_space << ") " << lines.lines << "/"
                        << lines.significant << "/" << lines.line_feeds << " bad " << bad << " partial " << partial
                        << ", the model " << want_lines << "/" << want_open << "\n";
                }
            } else if (bad == text.size() ? !partial || line_of(want_prefix) != line_of(text.size())
                                           : line_of(bad) != line_of(want_prefix)) {
                why << name << ": count_lines finds the fault at " << bad << " (partial " << partial
                    << "), the first ill-formed byte is at " << want_prefix << "\n";
            }
        }

        std::uint64_t feeds = 0;
        for (std::string_view part : parts) feeds += k->count_line_feeds(part.data(), part.size());
        if (feeds != static_cast<std::uint64_t>(line_of(text.size()))) {
            why << name << ": count_line_feeds " << feeds << "\n";
        }

        std::size_t prefix = k->valid_utf8_prefix(text.data(), text.size());
        if (prefix != want_prefix) {
            why << name << ": valid_utf8_prefix " << prefix << ", the model " << want_prefix << "\n";
        }
    }
    return why.str();
}

// Random text of the kinds the kernels must tell apart: strings with escapes
// and runs of backslashes, nested brackets of both kinds (now and then
// mismatched), commas, control bytes, characters beyond ASCII (White_Space
// among them), and ill-formed UTF-8.
class Generator {
public:
    explicit Generator(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}

    std::uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(next() % n); }

    std::string text(std::size_t tokens) {
        std::string out;
        std::vector<char> open;
        for (std::size_t t = 0; t < tokens; ++t) {
            switch (below(16)) {
                case 0: case 1: {
                    char c = below(2) ? '[' : '{';
                    out += c;
                    open.push_back(c);
                    break;
                }
                case 2: case 3:
                    if (!open.empty()) {
                        char c = open.back() == '[' ? ']' : '}';
                        if (below(40) == 0) c = c == ']' ? '}' : ']';  // a mismatch
                        out += c;
                        open.pop_back();
                    } else if (below(6) == 0) {
                        out += below(4) ? ']' : '}';
                    }
                    break;
                case 4: case 5:
                    out += ',';
                    break;
                case 6: case 7: case 8:
                    string(out);
                    break;
                case 9:
                    out.append(below(4), '\\');  // backslashes outside strings are ordinary bytes
                    break;
                case 10:
                    out += kSpaces[below(sizeof kSpaces - 1)];
                    break;
                case 11:
                    out += kWide[below(std::size(kWide))];
                    break;
                case 12:
                    if (below(6) == 0) out += kBad[below(std::size(kBad))];
                    break;
                case 13:
                    out += std::to_string(next() % 100000);
                    break;
                default:
                    out.append(below(70), below(2) ? ' ' : 'x');
            }
        }
        return out;
    }

private:
    static constexpr char kSpaces[] = " \t\n\r\f\v";
    static constexpr const char* kWide[] = {"\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "\xE3\x80\x80",
                                            "\xC2\xA0", "\xE2\x80\xA8", "\xC2\x85", "\xE2\x81\x9F"};
    static constexpr const char* kBad[] = {"\xC0\x80", "\xFF", "\x80", "\xE2\x82", "\xF0\x9F\x98", "\xED\xA0\x80",
                                           "\xF4\x90\x80\x80", "\xE0\x80\x80", "\xC1", "\xF5\x80"};

    void string(std::string& out) {
        out += '"';
        std::size_t n = below(90);
        for (std::size_t i = 0; i < n; ++i) {
            switch (below(12)) {
                case 0:
                    out.append(below(6) + 1, '\\');
                    break;
                case 1:
                    out += "\\\"";
                    break;
                case 2:
                    if (below(10) == 0) out += static_cast<char>(below(0x20));
                    break;
                case 3:
                    out += kWide[below(std::size(kWide))];
                    break;
                case 4:
                    out += "[{,}]"[below(5)];
                    break;
                default:
                    out += static_cast<char>('a' + below(26));
            }
        }
        if (below(30) != 0) out += '"';
    }

    std::uint64_t state_;
};

}  // namespace qvtok::model
