// RecordsIterator: one pass over a Records object, yielding values, (key,
// value) pairs or raw texts, with counters readable while it runs.
#include <utility>

#include "python/open/cursor.hpp"
#include "python/open/text.hpp"
#include "python/values/to_python.hpp"

namespace qvtok::open {
namespace {

constexpr const char* kBusy = "RecordsIterator is already running";
constexpr const char* kCleared = "this RecordsIterator was taken apart by the garbage collector";

struct IteratorObject {
    PyObject_HEAD
    Cursor* cursor;  // owned; NULL once the garbage collector cleared it
    Yield mode;
    bool keyed;      // records come from a pointer: items() gives their keys
    bool busy;       // inside __next__ (a file object's read may call back)
};

IteratorObject* as_iterator(PyObject* self) { return reinterpret_cast<IteratorObject*>(self); }

// The pass, or NULL with RuntimeError set once it was cleared: a finalizer
// of the cycle it was in may still reach the iterator.
Cursor* cursor_of(PyObject* self) {
    Cursor* c = as_iterator(self)->cursor;
    if (c == nullptr) PyErr_SetString(PyExc_RuntimeError, kCleared);
    return c;
}

// The pass holds the Python objects that can lead back to the iterator:
// its list of errors, and the file object it reads, whose attributes are
// the caller's. Its key and int caches hold only str and int objects,
// which refer to nothing.
int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (Cursor* c = as_iterator(self)->cursor) {
        Py_VISIT(c->errors.get());
        Py_VISIT(c->file);
    }
    return 0;
}

// Ends the pass as dealloc would; the GIL is held, as there.
int iterator_clear(PyObject* self) {
    delete std::exchange(as_iterator(self)->cursor, nullptr);
    return 0;
}

void iterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    iterator_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* iterator_iter(PyObject* self) { return Py_NewRef(self); }

PyResult step(IteratorObject* it) {
    auto slot = it->cursor->next();
    if (!slot) return std::move(slot).error();
    if (!slot.value()) return PyRef();  // the end
    records::Slot& s = *slot.value();
    // A compact pass's raw text comes checked and compacted by the reader.
    if (it->mode == Yield::Raw || it->mode == Yield::Compact) {
        std::string_view raw = raw_text(s);
        PyRef bytes(PyBytes_FromStringAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size())));
        if (!bytes) return CallError::fetch();
        return bytes;
    }
    PyResult value = it->cursor->value_of(s);
    if (!value || it->mode == Yield::Values) return value;
    PyRef key;
    if (s.keyed)
        key = PyRef(PyUnicode_DecodeUTF8(s.key.data(), static_cast<Py_ssize_t>(s.key.size()), "surrogatepass"));
    else
        key = PyRef::borrow(Py_None);
    if (!key) return CallError::fetch();
    PyRef pair(PyTuple_Pack(2, key.get(), value.value().get()));
    if (!pair) return CallError::fetch();
    return pair;
}

PyObject* iterator_next(PyObject* self) {
    IteratorObject* it = as_iterator(self);
    if (it->busy) {
        PyErr_SetString(PyExc_RuntimeError, kBusy);
        return nullptr;
    }
    if (cursor_of(self) == nullptr) return nullptr;
    it->busy = true;
    PyObject* result = call_guarded([&] { return step(it); });
    it->busy = false;
    return result;
}

PyObject* number(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* get_bytes_read(PyObject* self, void*) {
    Cursor* c = cursor_of(self);
    if (c == nullptr) return nullptr;
    // Compressed input counts in the file's bytes, so that it reaches total_bytes.
    return number(c->bytes_done());
}
PyObject* get_total_bytes(PyObject* self, void*) {
    Cursor* c = cursor_of(self);
    if (c == nullptr) return nullptr;
    if (!c->size_known) Py_RETURN_NONE;
    return number(c->stream.total_bytes());
}
PyObject* get_records_read(PyObject* self, void*) {
    Cursor* c = cursor_of(self);
    return c == nullptr ? nullptr : number(c->records_read);
}
PyObject* get_error_count(PyObject* self, void*) {
    Cursor* c = cursor_of(self);
    return c == nullptr ? nullptr : number(c->error_count);
}
PyObject* get_errors(PyObject* self, void*) {
    Cursor* c = cursor_of(self);
    return c == nullptr ? nullptr : Py_NewRef(c->errors.get());
}

PyGetSetDef iterator_getset[] = {
    {"bytes_read", get_bytes_read, nullptr, "Bytes read from the input so far.", nullptr},
    {"total_bytes", get_total_bytes, nullptr,
     "Size of the input in bytes, or None when it cannot be known (a pipe, a file object).", nullptr},
    {"records_read", get_records_read, nullptr, "Records handed out so far.", nullptr},
    {"error_count", get_error_count, nullptr, "Record errors met so far, raised or skipped.", nullptr},
    {"errors", get_errors, nullptr,
     "The first 1000 record errors skipped with on_error=\"skip\", as JSONDecodeError objects.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>("One pass over the records of a qvtok.Records.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(iterator_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_getset, iterator_getset},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    "qvtok.RecordsIterator",
    sizeof(IteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    iterator_slots,
};

}  // namespace

PyObject* iterator_type() {
    // One type for the process, as bigjson's RecordIterator.
    static PyObject* type = compat::new_frozen_type(&iterator_spec);
    return type;
}

PyResult new_iterator(std::unique_ptr<Cursor> cursor, Yield mode, bool keyed) {
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(iterator_type());
    if (cls == nullptr) return CallError::fetch();
    PyRef self(cls->tp_alloc(cls, 0));
    if (!self) return CallError::fetch();
    IteratorObject* it = as_iterator(self.get());
    it->cursor = cursor.release();
    it->mode = mode;
    it->keyed = keyed;
    it->busy = false;
    return self;
}

}  // namespace qvtok::open
