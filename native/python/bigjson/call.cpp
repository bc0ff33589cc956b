#include "python/bigjson/call.hpp"

#include <string>

#include "python/messages.hpp"

namespace qvtok::bigjson {
Expected<Call, CallError> prepare_call(const FunctionDescriptor& fn, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind(fn, args, nargs, kwnames);
    if (!bound) return std::move(bound).error();
    const BoundArgs& slots = bound.value();

    // Parameters are (path, format) or (path, sample, format).
    bool has_sample = fn.count == 3;
    auto path = path_arg(slots[0]);
    if (!path) return std::move(path).error();
    Call call{std::move(path.value().encoded), path.value().bytes, records::RecordFormat::Json, kDefaultSample,
              std::nullopt};
    if (has_sample && slots[1] != nullptr) {
        auto sample = arg_size(slots[1]);
        if (!sample) return argument_error("sample", std::move(sample).error());
        call.sample = sample.value();
    }
    auto format = format_arg(slots[has_sample ? 2 : 1]);
    if (!format) return std::move(format).error();

    auto resolved = records::resolve_format(call.path, format.value(), interpreter_hooks());
    if (!resolved) return CallError::from(std::move(resolved).error());
    call.format = resolved.value().format;
    call.source = std::move(resolved.value().source);
    return call;
}

Expected<records::RecordSource, CallError> open_call_source(Call& call, std::size_t buffer_size) {
    if (call.source) {
        records::RecordSource kept = std::move(*call.source);
        call.source.reset();
        return kept;
    }
    auto opened = records::RecordSource::open(call.path, interpreter_hooks(), buffer_size);
    if (!opened) return CallError::from(std::move(opened).error());
    return std::move(opened).value();
}

CallError read_error(Error error, std::optional<codecs::Codec> first_bytes_codec) {
    // Only what the compressed bytes themselves caused; the hint goes in the
    // message, which every display of the error shows, after the usual text,
    // which callers may match.
    bool from_the_bytes = error.code == ErrorCode::InvalidUtf8 || error.code == ErrorCode::InvalidJson ||
                          error.code == ErrorCode::InvalidElement || error.code == ErrorCode::InvalidLine;
    CallError raised = CallError::from(std::move(error));
    if (!first_bytes_codec || !from_the_bytes) return raised;
    return std::move(raised).with_tail(msg::kCompressedHead + std::string(codecs::codec_name(*first_bytes_codec)) +
                                       msg::kCompressedTail);
}

}  // namespace qvtok::bigjson
