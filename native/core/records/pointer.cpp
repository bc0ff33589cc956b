#include "core/records/pointer.hpp"

#include <cstring>
#include <utility>

#include "core/json/utf8.hpp"
#include "core/json/whitespace.hpp"

namespace qvtok::records {

Expected<Pointer> parse_pointer(std::string_view text) {
    Pointer pointer;
    pointer.text = std::string(text);
    if (text.empty()) return pointer;
    auto invalid = [&] {
        Error error = Error::of(ErrorCode::InvalidPointer);
        error.subject = std::string(text);
        return error;
    };
    if (text[0] != '/') return invalid();
    std::size_t i = 1;
    for (;;) {
        std::size_t end = text.find('/', i);
        if (end == std::string_view::npos) end = text.size();
        std::string_view raw = text.substr(i, end - i);
        PointerSegment segment;
        segment.any = raw == "*";
        for (std::size_t k = 0; k < raw.size(); ++k) {
            if (raw[k] != '~') {
                segment.name.push_back(raw[k]);
                continue;
            }
            if (k + 1 == raw.size() || (raw[k + 1] != '0' && raw[k + 1] != '1')) return invalid();
            segment.name.push_back(raw[k + 1] == '0' ? '~' : '/');
            ++k;
        }
        pointer.segments.push_back(std::move(segment));
        if (end == text.size()) break;
        i = end + 1;
    }
    return pointer;
}

std::uint64_t segment_index(std::string_view name) {
    if (name.empty() || name.size() > 19 || (name[0] == '0' && name.size() > 1)) return kNoIndex;
    std::uint64_t value = 0;
    for (char c : name) {
        if (c < '0' || c > '9') return kNoIndex;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool read_hex4(std::string_view s, std::size_t at, std::uint32_t& out) {
    if (s.size() - at < 4) return false;
    out = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        int h = hex_value(s[at + k]);
        if (h < 0) return false;
        out = out << 4 | static_cast<std::uint32_t>(h);
    }
    return true;
}

}  // namespace

bool unescape_string(std::string_view body, std::string& out) {
    for (std::size_t i = 0; i < body.size();) {
        const void* slash = std::memchr(body.data() + i, '\\', body.size() - i);
        std::size_t run_end = slash ? static_cast<std::size_t>(static_cast<const char*>(slash) - body.data()) : body.size();
        out.append(body.data() + i, run_end - i);
        if (run_end == body.size()) break;
        i = run_end + 1;
        if (i == body.size()) return false;
        char c = body[i++];
        switch (c) {
            case '"': out.push_back('"'); break;
            case '\\': out.push_back('\\'); break;
            case '/': out.push_back('/'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'u': {
                std::uint32_t cp;
                if (!read_hex4(body, i, cp)) return false;
                i += 4;
                if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    std::uint32_t low;
                    if (body.size() - i < 6 || body[i] != '\\' || body[i + 1] != 'u' || !read_hex4(body, i + 2, low) ||
                        low < 0xDC00 || low > 0xDFFF)
                        return false;
                    i += 6;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                json::append_utf8(out, cp);
                break;
            }
            default: return false;
        }
    }
    return true;
}

MemberSplit split_member(std::string_view text) {
    MemberSplit out;
    std::size_t i = 0;
    auto skip_space = [&] {
        while (i < text.size() && json::is_json_space(static_cast<unsigned char>(text[i]))) ++i;
    };
    auto fail = [&](json::Syntax syntax) {
        out.fault = syntax;
        out.value_begin = i;
        return std::move(out);
    };
    skip_space();
    if (i == text.size()) return fail(json::Syntax::EofValue);
    if (text[i] != '"') return fail(json::Syntax::KeyMustBeString);
    std::size_t body = ++i;
    bool escapes = false;
    for (;; ++i) {
        if (i == text.size()) return fail(json::Syntax::EofString);
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20) return fail(json::Syntax::ControlCharacter);
        if (c == '\\') {
            escapes = true;
            ++i;
            if (i == text.size()) return fail(json::Syntax::EofString);
            continue;
        }
        if (c == '"') break;
    }
    std::string_view raw = text.substr(body, i - body);
    if (!escapes) {
        out.key.assign(raw);
    } else if (!unescape_string(raw, out.key)) {
        i = body;
        return fail(json::Syntax::InvalidEscape);
    }
    ++i;
    skip_space();
    if (i == text.size() || text[i] != ':') return fail(json::Syntax::ExpectedColon);
    ++i;
    out.ok = true;
    out.value_begin = i;
    return out;
}

PointerWalker::PointerWalker(const Pointer& pointer) : segments_(pointer.segments) {
    for (const PointerSegment& s : segments_) indexes_.push_back(s.any ? kNoIndex : segment_index(s.name));
}

void PointerWalker::reset() {
    frames_.clear();
    state_ = State::Start;
    scan_ = simd::ArrayState{};
    key_.clear();
    text_.clear();
    next_start_pending_ = false;
    fed_ = text_start_ = doc_start_ = containers_ = 0;
    best_ = 0;
}

bool PointerWalker::segment_matches_key() const {
    const PointerSegment& seg = segments_[frames_.size() - 1];
    if (seg.any) return true;
    if (!key_escaped_) return key_ == seg.name;
    std::string key;
    return unescape_string(key_, key) && key == seg.name;
}

bool PointerWalker::segment_matches_index() const {
    std::size_t level = frames_.size() - 1;
    return segments_[level].any || indexes_[level] == frames_.back().index;
}

PointerWalker::Event PointerWalker::fail(json::Syntax syntax, std::size_t at, std::size_t& used) {
    state_ = State::Finished;
    fault_ = syntax;
    fault_offset_ = fed_ + at;
    used = at + 1;
    fed_ += used;
    return Event::Fault;
}

void PointerWalker::close_container() {
    state_ = frames_.empty() ? State::Finished : State::AfterValue;
}

PointerWalker::Event PointerWalker::finish() {
    switch (state_) {
        case State::Start:
        case State::Finished: return Event::Done;
        default: break;
    }
    fault_offset_ = fed_;
    bool object = state_ == State::Gather ? target_object_ : !frames_.empty() && frames_.back().object;
    fault_ = state_ == State::InKey ? json::Syntax::EofString
             : object               ? json::Syntax::EofObject
                                    : json::Syntax::EofList;
    state_ = State::Finished;
    return Event::Fault;
}

PointerWalker::Event PointerWalker::feed(std::string_view bytes, std::size_t& used) {
    if (next_start_pending_) {
        next_start_pending_ = false;
        text_start_ = fed_;
    }
    const char* data = bytes.data();
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    auto space = [&](std::size_t k) { return json::is_json_space(static_cast<unsigned char>(data[k])); };
    while (i < n) {
        switch (state_) {
            case State::Finished:
                used = i;
                fed_ += i;
                return Event::Done;
            case State::Start:
            case State::Value: {
                while (i < n && space(i)) ++i;
                if (i == n) break;
                if (state_ == State::Start) doc_start_ = fed_ + i;
                char c = data[i];
                std::size_t level = frames_.size();
                if (level > best_) best_ = level;
                if (c == ',' || c == ']' || c == '}') return fail(json::Syntax::ExpectedValue, i, used);
                if (c != '[' && c != '{') {
                    if (level == 0) {
                        // A document that is no container holds no records; its
                        // bytes are not looked at.
                        state_ = State::Finished;
                        used = n;
                        fed_ += n;
                        return Event::Done;
                    }
                    state_ = State::Skip;
                    break;
                }
                ++i;
                if (level == segments_.size()) {
                    ++containers_;
                    target_object_ = c == '{';
                    scan_ = simd::ArrayState{};
                    text_.clear();
                    text_start_ = fed_ + i;
                    first_member_ = true;
                    state_ = State::Gather;
                } else {
                    frames_.push_back(Frame{c == '{', 0});
                    state_ = c == '{' ? State::FirstKey : State::FirstElement;
                }
                break;
            }
            case State::Skip: {
                simd::Found found = simd::skip_value(data + i, n - i, scan_);
                if (found.stop == simd::Stop::More) {
                    i = n;
                    break;
                }
                std::size_t at = i + found.offset;
                i = at;  // the stop byte is the container's to take
                state_ = State::AfterValue;
                break;
            }
            case State::AfterValue: {
                while (i < n && space(i)) ++i;
                if (i == n) break;
                Frame& frame = frames_.back();
                char c = data[i];
                if (c == ',') {
                    ++frame.index;
                    state_ = frame.object ? State::Key : State::Element;
                    ++i;
                } else if (c == (frame.object ? '}' : ']')) {
                    frames_.pop_back();
                    ++i;
                    close_container();
                } else if (c == '}' || c == ']') {
                    return fail(json::Syntax::MismatchedBracket, i, used);
                } else {
                    return fail(frame.object ? json::Syntax::ExpectedObjectEnd : json::Syntax::ExpectedListEnd, i,
                                used);
                }
                break;
            }
            case State::FirstKey:
            case State::Key: {
                while (i < n && space(i)) ++i;
                if (i == n) break;
                char c = data[i];
                if (c == '"') {
                    key_.clear();
                    key_escaped_ = false;
                    state_ = State::InKey;
                    ++i;
                } else if (c == '}' && state_ == State::FirstKey) {
                    frames_.pop_back();
                    ++i;
                    close_container();
                } else {
                    return fail(c == '}' ? json::Syntax::TrailingComma : json::Syntax::KeyMustBeString, i, used);
                }
                break;
            }
            case State::InKey: {
                std::size_t start = i;
                bool escaped = false;
                // A key ends at a quote that no backslash escapes; a backslash
                // at the end of the piece escapes the first byte of the next.
                if (!key_.empty() && key_.back() == '\\') {
                    std::size_t run = 0;
                    for (std::size_t k = key_.size(); k > 0 && key_[k - 1] == '\\'; --k) ++run;
                    escaped = run % 2 == 1;
                }
                while (i < n) {
                    unsigned char c = static_cast<unsigned char>(data[i]);
                    if (c < 0x20) return fail(json::Syntax::ControlCharacter, i, used);
                    if (escaped) {
                        escaped = false;
                    } else if (c == '\\') {
                        escaped = true;
                        key_escaped_ = true;
                    } else if (c == '"') {
                        break;
                    }
                    ++i;
                }
                key_.append(data + start, i - start);
                if (i < n) {
                    ++i;
                    state_ = State::Colon;
                }
                break;
            }
            case State::Colon: {
                while (i < n && space(i)) ++i;
                if (i == n) break;
                if (data[i] != ':') return fail(json::Syntax::ExpectedColon, i, used);
                ++i;
                state_ = segment_matches_key() ? State::Value : State::Skip;
                break;
            }
            case State::FirstElement:
            case State::Element: {
                while (i < n && space(i)) ++i;
                if (i == n) break;
                if (data[i] == ']') {
                    if (state_ == State::Element) return fail(json::Syntax::TrailingComma, i, used);
                    frames_.pop_back();
                    ++i;
                    close_container();
                    break;
                }
                if (data[i] == ',') return fail(json::Syntax::ExpectedValue, i, used);
                state_ = segment_matches_index() ? State::Value : State::Skip;
                break;
            }
            case State::Gather: {
                simd::Found found = simd::find_separator(data + i, n - i, scan_);
                if (found.stop == simd::Stop::More) {
                    text_.append(data + i, n - i);
                    i = n;
                    break;
                }
                std::size_t at = i + found.offset;
                char c = data[at];
                bool closes = found.stop == simd::Stop::Close ||
                              (found.stop == simd::Stop::Mismatch && scan_.depth == 1 && c == '}');
                bool fits = found.stop == simd::Stop::Comma || (closes && c == (target_object_ ? '}' : ']'));
                if (!fits) {
                    // The offending byte ends the text, so that the reader names it.
                    text_.append(data + i, at + 1 - i);
                    state_ = State::Finished;
                    used = at + 1;
                    fed_ += used;
                    return Event::Broken;
                }
                text_.append(data + i, at - i);
                scan_ = simd::ArrayState{};
                used = at + 1;
                fed_ += used;
                member_first_ = std::exchange(first_member_, false);
                if (closes) {
                    close_container();
                } else {
                    // The next member starts after the comma; text_start()
                    // names this one until the caller has taken it.
                    next_start_pending_ = true;
                }
                return Event::Member;
            }
        }
    }
    used = n;
    fed_ += n;
    return Event::NeedMore;
}

}  // namespace qvtok::records
