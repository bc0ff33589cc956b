// bigjson.count: records counted by scanning, nothing parsed.
#include "python/bigjson/call.hpp"
#include "core/records/count.hpp"
#include "python/bigjson/operations.hpp"

namespace qvtok::bigjson {

extern const char count_doc[] =
    "count(path, format=None)\n"
    "--\n"
    "\n"
    "Count the number of top-level records in a JSON or JSONL file.\n"
    "\n"
    "- For JSON whose top level is an array `[ ... ]`, this is the number of\n"
    "  array elements (`[]` -> 0). Any other single JSON value counts as 1.\n"
    "- For JSONL, this is the number of non-empty lines.\n"
    "\n"
    "`format` may be `\"json\"`, `\"jsonl\"`/`\"ndjson\"`, or `None`/`\"auto\"` (detected\n"
    "from the file extension, then the first byte).";

namespace {

constexpr FunctionDescriptor kCount{"count", {"path", "format"}, 2, 1};

PyResult run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto call = prepare_call(kCount, args, nargs, kwnames);
    if (!call) return std::move(call).error();
    auto source = open_call_source(call.value(), records::kCountBufferSize);
    if (!source) return std::move(source).error();
    auto counted = call.value().format == records::RecordFormat::Json ? records::count_json_records(source.value())
                                                             : records::count_jsonl_records(source.value());
    if (!counted) return read_error(std::move(counted).error(), source.value().first_bytes_codec());
    PyRef result(PyLong_FromUnsignedLongLong(counted.value()));
    if (!result) return CallError::fetch();
    return result;
}

}  // namespace

PyObject* count(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&] { return run(args, nargs, kwnames); });
}

}  // namespace qvtok::bigjson
