// bigjson.load: a whole file as Python objects.
#include "call.hpp"
#include "operations.hpp"

namespace qvtok::bigjson {

const char* const load_doc =
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

PyResult run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto call = prepare_call(kLoad, args, nargs, kwnames);
    if (!call) return std::move(call).error();
    auto source = RecordSource::open(call.value().path, poll_signals);
    if (!source) return CallError::from(std::move(source).error());
    return CallError::deferred(PyExc_NotImplementedError, "load is not implemented yet");
}

}  // namespace

PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&] { return run(args, nargs, kwnames); });
}

}  // namespace qvtok::bigjson
