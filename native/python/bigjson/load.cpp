// bigjson.load: a whole file as Python objects.
#include <algorithm>
#include <string>

#include "core/json/reader.hpp"
#include "python/values/to_python.hpp"
#include "core/json/utf8.hpp"
#include "python/bigjson/call.hpp"
#include "python/bigjson/operations.hpp"
#include "python/gc_pause.hpp"
#include "python/gc_untrack.hpp"
#include "python/messages.hpp"
#include "core/records/stream.hpp"

namespace qvtok::bigjson {

extern const char load_doc[] =
    "load(path, format=None)\n"
    "--\n"
    "\n"
    "Load a JSON / JSONL file fully into memory and return it as a Python object.\n"
    "\n"
    "- JSON: returns the parsed top-level document (list / dict / scalar), exactly\n"
    "  like `json.load`.\n"
    "- JSONL: returns a `list` with one entry per non-empty line.\n"
    "\n"
    "`format` may be `\"json\"`, `\"jsonl\"`/`\"ndjson\"`, or `None`/`\"auto\"`.\n"
    "\n"
    "This reads everything at once; use `iter_records` for constant-memory\n"
    "streaming over large files.";

namespace {

constexpr FunctionDescriptor kLoad{"load", {"path", "format"}, 2, 1};

// The most read in one system call, so that signal handlers run every few
// MiB however large the file: Ctrl-C stops even a read of /dev/zero.
constexpr std::size_t kReadChunk = std::size_t{4} << 20;

// Every byte of the file, in one buffer sized from the file when it can be.
Expected<std::string> read_whole(records::RecordSource& source) {
    std::string text;
    std::uint64_t size = source.file_size();
    std::size_t capacity = size > 0 ? static_cast<std::size_t>(size) + 1 : 1 << 16;
    text.resize(capacity);
    std::size_t filled = 0;
    for (;;) {
        if (filled == text.size()) text.resize(text.size() * 2);
        std::size_t room = std::min(text.size() - filled, kReadChunk);
        auto got = source.read(text.data() + filled, room);
        if (!got) return got.error().to_error();
        if (got.value() == 0) break;
        filled += got.value();
        if (source.interrupted()) return Error::of(ErrorCode::Interrupted);
    }
    text.resize(filled);
    if (!json::is_valid_utf8(text)) return records::IoError::utf8().to_error();
    return text;
}

int check_signals() { return PyErr_CheckSignals(); }

PyResult load_json(Call& call) {
    auto source = open_call_source(call);
    if (!source) return std::move(source).error();
    auto text = read_whole(source.value());
    if (!text) return read_error(std::move(text).error(), source.value().first_bytes_codec());
    auto doc = json::read_json_text(std::move(text).value(), check_signals);
    if (!doc) {
        if (doc.error().interrupted) return CallError::fetch();
        return read_error(json::syntax_error(ErrorCode::InvalidJson, doc.error(), 0), source.value().first_bytes_codec());
    }
    GcPause pause;
    return values::json_value_to_python(doc.value().root());
}

PyResult load_jsonl(Call& call) {
    auto opened = open_call_source(call, records::RecordStream::buffer_size(records::RecordFormat::Jsonl));
    if (!opened) return std::move(opened).error();
    records::RecordStream stream = records::RecordStream::adopt(std::move(opened).value(), records::RecordFormat::Jsonl);
    PyRef list(PyList_New(0));
    if (!list) return CallError::fetch();
    GcPause pause;
    for (;;) {
        auto record = stream.next();
        if (!record) return read_error(std::move(record).error(), stream.first_bytes_codec());
        if (!record.value()) {
            untrack_finished(list.get());  // of values, each finished
            return list;
        }
        auto obj = values::json_value_to_python(record.value()->root());
        stream.recycle(std::move(*record.value()));
        if (!obj) return std::move(obj).error();
        if (PyList_Append(list.get(), obj.value().get()) < 0) return CallError::fetch();
    }
}

PyResult run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto call = prepare_call(kLoad, args, nargs, kwnames);
    if (!call) return std::move(call).error();
    if (call.value().format == records::RecordFormat::Json) return load_json(call.value());
    return load_jsonl(call.value());
}

}  // namespace

PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&] { return run(args, nargs, kwnames); });
}

}  // namespace qvtok::bigjson
