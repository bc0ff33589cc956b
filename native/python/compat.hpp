// The one place that knows which CPython it is built against. Everything else
// calls these names and reads as if written for a single version.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qvtok::compat {

// Python's json names a comma before a closer at the comma from 3.13 on,
// and before that the closer, where a value or key was due.
inline constexpr bool kJsonNamesTrailingComma = PY_VERSION_HEX >= 0x030D0000;

// Takes the pending exception as one object (a new reference), or NULL.
inline PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Makes `exc` the pending exception; steals the reference.
inline void restore_raised_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// "while processing '{name}'": built with the unicode writer where the
// interpreter has one.
inline PyObject* argument_note(const char* name) {
#if PY_VERSION_HEX >= 0x030E0000
    PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
    if (writer == nullptr) return nullptr;
    if (PyUnicodeWriter_WriteUTF8(writer, "while processing '", -1) < 0 ||
        PyUnicodeWriter_WriteUTF8(writer, name, -1) < 0 ||
        PyUnicodeWriter_WriteChar(writer, '\'') < 0) {
        PyUnicodeWriter_Discard(writer);
        return nullptr;
    }
    return PyUnicodeWriter_Finish(writer);
#else
    return PyUnicode_FromFormat("while processing '%s'", name);
#endif
}

// Creates a heap type from a spec and makes it immutable.
inline PyObject* new_frozen_type(PyType_Spec* spec) {
#if PY_VERSION_HEX >= 0x030E0000
    PyObject* type = PyType_FromSpec(spec);
    if (type != nullptr && PyType_Freeze(reinterpret_cast<PyTypeObject*>(type)) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    return type;
#else
    // Py_TPFLAGS_IMMUTABLETYPE among the type flags does the freezing.
    return PyType_FromSpec(spec);
#endif
}

}  // namespace qvtok::compat

// The module export hook arrived together with 16-bit slot ids.
#if PY_VERSION_HEX >= 0x030F0000 && defined(PyMODEXPORT_FUNC) && defined(Py_mod_abi)
#define QVTOK_HAS_MODULE_EXPORT 1
#else
#define QVTOK_HAS_MODULE_EXPORT 0
#endif

// What the module declares about its hosts. Its types and exception classes
// are made once for the process, so it lives only in the main interpreter:
// from 3.12 the interpreter reads that from a slot and refuses the import
// itself. It relies on the GIL: from 3.13 a free-threaded build is told so.
// Each expands to one slot and its comma, or to nothing where the slot does
// not exist.
#if PY_VERSION_HEX >= 0x030C0000
#define QVTOK_SLOT_MAIN_INTERPRETER_ONLY {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define QVTOK_SLOT_MAIN_INTERPRETER_ONLY
#endif
#if PY_VERSION_HEX >= 0x030D0000
#define QVTOK_SLOT_GIL_USED {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define QVTOK_SLOT_GIL_USED
#endif
