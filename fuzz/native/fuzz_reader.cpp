// The reader on arbitrary bytes. It must never crash, even on text that is
// not UTF-8 (callers check first, but a check that lets something through
// must not become a memory fault). On UTF-8 text:
//   - a parse is a pure function of the text: a fresh parse, a parse with
//     storage recycled from an unrelated document, and a parse of the same
//     bytes placed in the middle of a larger buffer all agree, on the values
//     and on the error with its line, column and offset;
//   - checking the text without building it fails exactly as reading it,
//     and compacting it gives a text that reads the same;
//   - a document that parsed can be walked to its end: element counts match
//     the tape, object keys are distinct and in ascending byte order, strings
//     are UTF-8 with a correct ASCII flag, numbers are finite.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/json/reader.hpp"
#include "core/json/utf8.hpp"

using namespace qvtok::json;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_reader: %s\n", what);
    std::abort();
}

void expect(bool ok, const char* what) {
    if (!ok) fail(what);
}

// Appends a canonical form of `v` to `out`, checking the document's shape on
// the way. `utf8` says whether the input was valid UTF-8, which the string
// checks need.
void walk(const Value& v, bool utf8, std::string& out, unsigned depth) {
    expect(depth <= kNestingLimit, "nesting beyond the limit");
    expect(v.end() > v.index() && v.end() <= v.document().tape.size(), "value end outside the tape");
    char buf[64];
    switch (v.kind()) {
        case Kind::Null: out += 'n'; return;
        case Kind::False: out += 'f'; return;
        case Kind::True: out += 't'; return;
        case Kind::Unsigned:
            std::snprintf(buf, sizeof buf, "u%llu;", static_cast<unsigned long long>(v.as_unsigned()));
            out += buf;
            return;
        case Kind::Negative:
            expect(v.as_negative() < 0, "a Negative that is not below zero");
            std::snprintf(buf, sizeof buf, "i%lld;", static_cast<long long>(v.as_negative()));
            out += buf;
            return;
        case Kind::Float: {
            double d = v.as_float();
            expect(std::isfinite(d), "a Float that is not finite");
            std::uint64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            std::snprintf(buf, sizeof buf, "d%016llx;", static_cast<unsigned long long>(bits));
            out += buf;
            return;
        }
        case Kind::String: {
            std::string_view s = v.str();
            if (utf8) {
                expect(is_valid_utf8(s), "a string that is not UTF-8");
                bool ascii = true;
                for (unsigned char c : s) ascii = ascii && c < 0x80;
                expect(ascii == v.is_ascii(), "a wrong ASCII flag");
            }
            out += 's' + std::to_string(s.size()) + ':';
            out += s;
            return;
        }
        case Kind::Array: {
            out += '[';
            std::size_t n = 0, at = v.index() + 1;
            for (Value e : v.elements()) {
                expect(e.index() == at, "elements not contiguous");
                at = e.end();
                walk(e, utf8, out, depth + 1);
                ++n;
            }
            expect(n == v.size(), "element count differs from the walk");
            expect(at == v.end(), "last element does not end where the array ends");
            out += ']';
            return;
        }
        case Kind::Object: {
            out += '{';
            std::size_t n = 0;
            bool first = true;
            std::string_view last;
            for (Member m : v.members()) {
                expect(m.value.index() > v.index() && m.value.end() <= v.end(), "member value outside its object");
                if (!first) expect(last < m.key, "keys not distinct and ascending");
                if (utf8) expect(is_valid_utf8(m.key), "a key that is not UTF-8");
                bool ascii = true;
                for (unsigned char c : m.key) ascii = ascii && c < 0x80;
                if (utf8) expect(ascii == m.key_ascii, "a wrong ASCII flag on a key");
                first = false;
                last = m.key;
                out += 'k' + std::to_string(m.key.size()) + ':';
                out += m.key;
                walk(m.value, utf8, out, depth + 1);
                ++n;
            }
            expect(n == v.size(), "member count differs from the walk");
            out += '}';
            return;
        }
    }
    fail("unknown kind");
}

// The result as one comparable string: the canonical form of the document
// or the error with its position.
std::string outcome(const qvtok::Expected<Document, JsonParseError>& r, bool utf8) {
    if (!r.ok()) {
        const JsonParseError& e = r.error();
        expect(e.line >= 1, "error line below 1");
        char buf[96];
        std::snprintf(buf, sizeof buf, "error %d at %llu:%llu offset %llu", static_cast<int>(e.syntax),
                      static_cast<unsigned long long>(e.line), static_cast<unsigned long long>(e.column),
                      static_cast<unsigned long long>(e.offset));
        return buf;
    }
    const Document& doc = r.value();
    std::string out;
    walk(doc.root(), utf8, out, 0);
    expect(doc.root().end() == doc.tape.size(), "the root does not span the tape");
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    bool utf8 = is_valid_utf8(text);
    auto first = read_json_text(text);
    const bool first_ok = first.ok();
    std::string expected = outcome(first, utf8);
    if (!first.ok()) expect(size == 0 ? first.error().offset == 0 : first.error().offset < size,
                            "error offset outside the text");
    if (!utf8) return 0;

    // A check builds nothing but must fail exactly where the read did, in
    // both number modes.
    for (const ReadOptions& options : {ReadOptions{}, kJsonModuleOptions}) {
        auto read = options.exact_integers ? read_json_text(text, options) : std::move(first);
        auto check = check_json_text(text, options);
        expect(check.has_value() == !read.ok(), "a check and a read disagree on whether the text reads");
        if (check && !read.ok())
            expect(check->syntax == read.error().syntax && check->line == read.error().line &&
                       check->column == read.error().column && check->offset == read.error().offset,
                   "a check fails elsewhere than the read");
    }

    // Compacting fails as the check does, and what it writes reads as the
    // same document, now without any white space between tokens.
    std::string compact = "x";
    auto compacted = compact_json_text(text, compact);
    expect(compacted.has_value() == !first_ok, "compacting and reading disagree on whether the text reads");
    if (!compacted) {
        expect(outcome(read_json_text(compact.substr(1)), true) == expected, "the compact text reads differently");
        expect(check_json_text(compact.substr(1)) == std::nullopt, "the compact text does not check");
        expect(compact.size() <= size + 1, "the compact text is longer");
    } else {
        expect(compact == "x", "a failed compaction wrote");
    }

    // Read in place at the front of a longer text, as a stream reads array
    // elements: the value and the white space after it end where the text
    // did exactly when the whole text reads, with the same document; the
    // check and compact forms agree with it.
    {
        std::string longer = text + ",1";
        ReaderScratch front_scratch;
        Document doc;
        auto front = read_json_front(longer, front_scratch, ReadOptions{}, doc);
        bool whole = front && front->next == size;
        expect(whole == first_ok, "a read in place and a whole read disagree");
        if (whole) {
            qvtok::Expected<Document, JsonParseError> as_read(std::move(doc));
            expect(outcome(as_read, true) == expected, "a read in place gives another document");
        }
        auto checked = check_json_front(longer, ReadOptions{});
        std::string packed(longer.size(), '\0');
        std::size_t written = 0;
        auto compacted_front = compact_json_front(longer, packed.data(), written, ReadOptions{});
        packed.resize(compacted_front ? written : 0);
        expect(checked.has_value() == front.has_value() && compacted_front.has_value() == front.has_value(),
               "the forms of a read in place disagree");
        if (front && checked) expect(checked->next == front->next && checked->value_end == front->value_end,
                                     "a check in place ends elsewhere");
        if (whole) expect(packed == compact.substr(1), "a compaction in place differs");
    }

    // Again, with storage a previous, unrelated parse left behind.
    ReaderScratch scratch;
    std::string unrelated = R"({"b":[1,{"a":"\u00e9x"}],"a":-0.5,"c":"a longer string"})";
    std::size_t unrelated_size = unrelated.size();
    auto other = read_json_text(std::move(unrelated), 0, unrelated_size, scratch);
    if (other.ok()) scratch.recycle(std::move(other).value());
    auto second = read_json_text(text, 0, size, scratch);
    expect(outcome(second, utf8) == expected, "a parse with recycled storage differs");

    // And as a piece of a larger buffer, the bytes around it being JSON that
    // would change the result if the reader looked past its range.
    std::string framed = "[\"\\" + text + "\\\"]1";
    auto third = read_json_text(framed, 3, size, scratch);
    expect(outcome(third, utf8) == expected, "a parse inside a larger buffer differs");
    return 0;
}
