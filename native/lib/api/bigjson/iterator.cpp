// bigjson.iter_records and the RecordIterator class.
#include <atomic>

#include "../messages.hpp"
#include "call.hpp"
#include "operations.hpp"

namespace qvtok::bigjson {

const char* const iter_records_doc =
    "iter_records(path, format=None)\n"
    "--\n"
    "\n"
    "Return a lazy iterator over the records of a JSON / JSONL file.\n"
    "\n"
    "Yields one record at a time without loading the whole file:\n"
    "- JSON array: each element;\n"
    "- JSON scalar / object: the single value (once);\n"
    "- JSONL: each non-empty line.\n"
    "\n"
    "The iterator exposes `bytes_read` and `total_bytes` for progress bars\n"
    "(percent = bytes_read / total_bytes).\n"
    "\n"
    "`format` may be `\"json\"`, `\"jsonl\"`/`\"ndjson\"`, or `None`/`\"auto\"`.";

namespace {

struct IteratorObject {
    PyObject_HEAD
    std::atomic<std::int64_t> busy;  // 0 free, n > 0 shared uses, -1 in __next__
};

void iterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* iterator_next(PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "RecordIterator is not implemented yet");
    return nullptr;
}

PyType_Slot iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python iterator wrapper returned by [`iter_records`].")},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    "builtins.RecordIterator",
    sizeof(IteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    iterator_slots,
};

constexpr FunctionDescriptor kIterRecords{"iter_records", {"path", "format"}, 2, 1};

PyResult run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto call = prepare_call(kIterRecords, args, nargs, kwnames);
    if (!call) return std::move(call).error();
    auto source = RecordSource::open(call.value().path, poll_signals);
    if (!source) return CallError::from(std::move(source).error());
    return CallError::deferred(PyExc_NotImplementedError, "iter_records is not implemented yet");
}

}  // namespace

PyObject* record_iterator_type() {
    // One type for the process, shared by every execution of the module.
    static PyObject* type = nullptr;
    if (type != nullptr) return type;
    type = compat::new_frozen_type(&iterator_spec);
    if (type == nullptr) {
        PyRef cause(compat::take_raised_exception());
        PyErr_SetString(PyExc_RuntimeError, msg::kIteratorInitFailed);
        PyRef error(compat::take_raised_exception());
        PyException_SetCause(error.get(), cause.release());
        compat::restore_raised_exception(error.release());
    }
    return type;
}

PyObject* iter_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&] { return run(args, nargs, kwnames); });
}

}  // namespace qvtok::bigjson
