// Records read into a sink of the caller's: the way a new output (counts,
// columns, another language's values) plugs into the record stream. The
// stream finds each record in whatever source and format it reads, checks
// it, places its errors in the file, and hands its text to this builder,
// which has the reader emit the record's values to the sink as events, with
// no tape in between.
//
// A sink has the reader's event calls, each returning false to stop the
// read (which then fails as interrupted):
//   bool literal(Kind), unsigned_int(uint64_t), negative_int(int64_t),
//   floating(double), big_int(string_view digits),
//   string(string_view utf8, bool ascii), key(string_view utf8, bool ascii),
//   close_array(size_t count), close_object(size_t count)
// (containers after their contents, an object's key before its value), and
// two calls for whole records:
//   void commit()    the events since the last commit or rollback are one
//                    record, handed out by the stream;
//   void rollback()  they are not: the read failed, or the stream reads the
//                    record again another way. Forget them.
#pragma once

#include <optional>
#include <string_view>

#include "core/json/grammar.hpp"
#include "core/json/value_builder.hpp"

namespace qvtok::json {

template <class Sink>
class SinkBuilder final : public ValueBuilder {
public:
    explicit SinkBuilder(Sink& sink) : sink_(sink) {}

    std::optional<JsonParseError> build(std::string_view text, const ReadOptions& options) override {
        auto fault = read_json_into(text, sink_, options, nullptr);
        if (fault) sink_.rollback();
        return fault;
    }
    Front build_front(std::string_view text, const ReadOptions& options) override {
        Front out;
        out.front = read_json_front_into(text, sink_, options, out.failed);
        if (!out.front) sink_.rollback();
        return out;
    }
    void drop() override { sink_.rollback(); }

    // The record of a slot that says it was built is the sink's to keep:
    // called once per such slot, as a value builder's value is taken.
    void take() { sink_.commit(); }

private:
    Sink& sink_;
};

}  // namespace qvtok::json
