// Values built from a record's text by someone other than the reader's
// tape: a stream given one hands it each record to read, and the record's
// value then lives with the builder, not in the slot.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/json/reader.hpp"

namespace qvtok::json {

class ValueBuilder {
public:
    virtual ~ValueBuilder() = default;

    // Builds the one value of `text` (valid UTF-8, white space around it
    // allowed) and keeps it until the caller takes it. On failure: the
    // text's error as read_json_text gives it, or one marked interrupted
    // when building failed and not the text (the builder knows why).
    virtual std::optional<JsonParseError> build(std::string_view text, const ReadOptions& options) = 0;

    // The value at the front of `text` (valid UTF-8), as read_json_front
    // takes it, kept as build() keeps it. No front when the text does not
    // start that way; `failed` when building failed, not the text.
    struct Front {
        std::optional<FrontValue> front;
        bool failed = false;
    };
    virtual Front build_front(std::string_view text, const ReadOptions& options) = 0;

    // Lets go of a value built and not taken.
    virtual void drop() = 0;

    // A text of about `bytes` is being read and comes to build() next: a
    // builder that reads large texts on another thread may wake it now.
    virtual void expect(std::size_t bytes) { (void)bytes; }

    // The text that build() gets next, with the same options, once the
    // caller has checked its UTF-8: a builder that reads large texts on
    // another thread may start reading it now, while the check runs. The
    // text stays in place until build() or abandon().
    virtual void begin(std::string_view text, const ReadOptions& options) {
        (void)text;
        (void)options;
    }
    // The text given to begin() is not built after all: whatever reads it
    // has stopped when this returns.
    virtual void abandon() {}
};

}  // namespace qvtok::json
