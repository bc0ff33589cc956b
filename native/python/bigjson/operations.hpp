// The entry points of `bigjson`, each a fast-call trampoline with its docstring.
#pragma once

#include "python/compat.hpp"

namespace qvtok::bigjson {

#define QVTOK_TRAMPOLINE(fn) \
    PyObject* fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

QVTOK_TRAMPOLINE(count);
QVTOK_TRAMPOLINE(load);
QVTOK_TRAMPOLINE(iter_records);
QVTOK_TRAMPOLINE(schema);

#undef QVTOK_TRAMPOLINE

extern const char count_doc[];
extern const char load_doc[];
extern const char iter_records_doc[];
extern const char schema_doc[];

// The RecordIterator class (borrowed), created on the first call and kept for
// the life of the process; NULL with an exception set when it cannot be made.
PyObject* record_iterator_type();

}  // namespace qvtok::bigjson
