#include "python/bigjson/call.hpp"

#include <string>

#include "python/messages.hpp"

namespace qvtok::bigjson {
namespace {

// Set while a GilRelease scope has let the GIL go on this thread: reads
// then have nothing to release, and signal handlers run with the GIL taken
// back for the moment.
thread_local PyThreadState* released_state = nullptr;

int poll_signals() {
    if (released_state == nullptr) return PyErr_CheckSignals();
    PyEval_RestoreThread(released_state);
    int raised = PyErr_CheckSignals();
    released_state = PyEval_SaveThread();
    return raised;
}
void* release_gil() { return released_state != nullptr ? nullptr : PyEval_SaveThread(); }
void reacquire_gil(void* state) {
    if (state != nullptr) PyEval_RestoreThread(static_cast<PyThreadState*>(state));
}

}  // namespace

GilRelease::GilRelease(bool release) : allowed_(release) { this->release(); }

GilRelease::~GilRelease() { hold(); }

void GilRelease::hold() {
    if (!mine_) return;
    PyEval_RestoreThread(released_state);
    released_state = nullptr;
    mine_ = false;
}

void GilRelease::release() {
    if (!allowed_ || mine_ || released_state != nullptr) return;
    released_state = PyEval_SaveThread();
    mine_ = true;
}

records::InterpreterHooks interpreter_hooks() { return {poll_signals, release_gil, reacquire_gil}; }

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
