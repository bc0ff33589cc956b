// bigjson.schema: the structure of a file's first records, as pretty JSON.
#include <string>

#include "python/bigjson/call.hpp"
#include "python/bigjson/operations.hpp"
#include "core/records/stream.hpp"
#include "core/schema/model.hpp"
#include "core/schema/render.hpp"

namespace qvtok::bigjson {

extern const char schema_doc[] =
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
    Call& c = call.value();

    // Each record is folded in as soon as it is parsed and then dropped, so
    // memory holds one record and the tallies, whatever the sample size.
    schema::SchemaBuilder builder(interpreter_hooks().poll);
    {
        // The file is closed as soon as the sample is drawn.
        auto source = open_call_source(c, records::RecordStream::buffer_size(c.format));
        if (!source) return std::move(source).error();
        auto stream =
            records::RecordStream::adopt(std::move(source).value(), c.format, records::StreamRules::sampling());
        auto drawn = records::draw_sample(stream, c.sample,
                                          [&](const json::Document& record) { return builder.add(record.root()); });
        if (!drawn) return read_error(std::move(drawn).error(), stream.first_bytes_codec());
    }
    std::string text = schema::render_schema(builder.finish());

    PyRef result(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    if (!result) return CallError::fetch();
    return result;
}

}  // namespace

PyObject* schema(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&] { return run(args, nargs, kwnames); });
}

}  // namespace qvtok::bigjson
