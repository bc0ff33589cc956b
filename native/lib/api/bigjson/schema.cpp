// bigjson.schema: the structure of a file's first records, as pretty JSON.
#include "call.hpp"
#include "operations.hpp"

namespace qvtok::bigjson {

const char* const schema_doc =
    "schema(path, sample=100, format=None)\n"
    "--\n"
    "\n"
    "Infer the structure of the records in a JSON / JSONL file.\n"
    "\n"
    "Reads at most `sample` records from the start of the file and merges them\n"
    "into one description, returned as pretty-printed JSON text:\n"
    "- objects become their fields, with \"?\" after a field that some records lack;\n"
    "- arrays become a list holding the schema of all their elements;\n"
    "- scalars become type names joined by \"|\", such as \"int|str\";\n"
    "- values of different kinds at one place are listed under \"__oneof__\".\n"
    "\n"
    "`format` may be `\"json\"`, `\"jsonl\"`/`\"ndjson\"`, or `None`/`\"auto\"`.";

namespace {

constexpr FunctionDescriptor kSchema{"schema", {"path", "sample", "format"}, 3, 1};

PyResult run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto call = prepare_call(kSchema, args, nargs, kwnames);
    if (!call) return std::move(call).error();
    auto source = RecordSource::open(call.value().path, poll_signals);
    if (!source) return CallError::from(std::move(source).error());
    return CallError::deferred(PyExc_NotImplementedError, "schema is not implemented yet");
}

}  // namespace

PyObject* schema(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&] { return run(args, nargs, kwnames); });
}

}  // namespace qvtok::bigjson
