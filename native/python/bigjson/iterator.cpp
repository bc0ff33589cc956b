// bigjson.iter_records and the RecordIterator class.
#include <atomic>
#include <memory>
#include <new>

#include "python/messages.hpp"
#include "python/bigjson/call.hpp"
#include "python/bigjson/operations.hpp"
#include "core/records/stream.hpp"
#include "python/values/to_python.hpp"

namespace qvtok::bigjson {

extern const char iter_records_doc[] =
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
    records::RecordStream* stream;            // owned; closing it closes the file
    std::atomic<std::int64_t> busy;  // 0 free, n > 0 shared uses, -1 in __next__
};

IteratorObject* as_iterator(PyObject* self) { return reinterpret_cast<IteratorObject*>(self); }

// A shared use (__iter__) of the iterator, refused while __next__ runs;
// released on scope exit.
class SharedUse {
public:
    explicit SharedUse(IteratorObject* it) : it_(it) {
        std::int64_t seen = it->busy.load();
        do {
            if (seen < 0) return;
        } while (!it->busy.compare_exchange_weak(seen, seen + 1));
        held_ = true;
    }
    ~SharedUse() {
        if (held_) it_->busy.fetch_sub(1);
    }
    bool held() const { return held_; }

private:
    IteratorObject* it_;
    bool held_ = false;
};

// The stream holds no Python object, and the iterator none but its type.
// It is tracked all the same, as instances of heap types are meant to be:
// a cycle through the type is then one the collector can see.
int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void iterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete as_iterator(self)->stream;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* iterator_iter(PyObject* self) {
    return call_guarded([&]() -> PyResult {
        SharedUse use(as_iterator(self));
        if (!use.held())
            return CallError::deferred(PyExc_RuntimeError, msg::kAlreadyMutablyBorrowed);
        return PyRef::borrow(self);
    });
}

PyObject* iterator_next(PyObject* self) {
    IteratorObject* it = as_iterator(self);
    std::int64_t expected = 0;
    if (!it->busy.compare_exchange_strong(expected, -1)) {
        PyErr_SetString(PyExc_RuntimeError, msg::kAlreadyBorrowed);
        return nullptr;
    }
    PyObject* result = call_guarded([&]() -> PyResult {
        auto record = it->stream->next();
        if (!record) return read_error(std::move(record).error(), it->stream->first_bytes_codec());
        // The end: NULL without an exception stops the iteration.
        if (!record.value()) return PyRef();
        PyResult converted = values::json_value_to_python(record.value()->root());
        it->stream->recycle(std::move(*record.value()));
        return converted;
    });
    it->busy.store(0);
    return result;
}

// The progress counters take no part in the busy marker: a signal handler or
// a progress bar in another thread may read them while __next__ runs. That
// is safe because the stream changes them only while its thread holds the
// GIL, as every reader here does too.
PyObject* counter(PyObject* self, std::uint64_t (records::RecordStream::*read)() const) {
    return call_guarded([&]() -> PyResult {
        PyRef value(PyLong_FromUnsignedLongLong((as_iterator(self)->stream->*read)()));
        if (!value) return CallError::fetch();
        return value;
    });
}

PyObject* get_bytes_read(PyObject* self, void*) { return counter(self, &records::RecordStream::bytes_read); }
PyObject* get_total_bytes(PyObject* self, void*) {
    return counter(self, &records::RecordStream::total_bytes);
}

PyGetSetDef iterator_getset[] = {
    {"bytes_read", get_bytes_read, nullptr,
     "Bytes consumed from the file so far (for progress reporting).", nullptr},
    {"total_bytes", get_total_bytes, nullptr,
     "Total size of the file in bytes (0 if it could not be determined).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The class keeps "builtins" as its __module__, which callers may test;
// its objects name the module where users find it.
PyObject* iterator_repr(PyObject* self) {
    return PyUnicode_FromFormat("<qvtok.bigjson.RecordIterator object at %p>", self);
}

PyType_Slot iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python iterator wrapper returned by [`iter_records`].")},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(iterator_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_repr, reinterpret_cast<void*>(iterator_repr)},
    {Py_tp_getset, iterator_getset},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    "builtins.RecordIterator",
    sizeof(IteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    iterator_slots,
};

constexpr FunctionDescriptor kIterRecords{"iter_records", {"path", "format"}, 2, 1};

PyResult run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto call = prepare_call(kIterRecords, args, nargs, kwnames);
    if (!call) return std::move(call).error();
    records::RecordFormat format = call.value().format;
    auto opened = open_call_source(call.value(), records::RecordStream::buffer_size(format));
    if (!opened) return std::move(opened).error();
    auto stream = std::make_unique<records::RecordStream>(records::RecordStream::adopt(std::move(opened).value(), format));
    PyObject* type = record_iterator_type();
    if (type == nullptr) return CallError::fetch();
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(type);
    PyRef self(cls->tp_alloc(cls, 0));
    if (!self) return CallError::fetch();
    IteratorObject* it = as_iterator(self.get());
    it->stream = stream.release();
    new (&it->busy) std::atomic<std::int64_t>(0);
    return self;
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
