#include "python/bigjson/mod.hpp"

#include <string>

#include "python/messages.hpp"
#include "python/bigjson/operations.hpp"

namespace qvtok::bigjson {
namespace {

// No METH_STATIC: it would hide the submodule from `__self__`.
constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

// Static for the life of the process: built-in functions point into it.
PyMethodDef methods[] = {
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load)), kFlags, load_doc},
    {"count", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(count)), kFlags, count_doc},
    {"iter_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iter_records)),
     kFlags, iter_records_doc},
    {"schema", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(schema)), kFlags,
     schema_doc},
};

PyMethodDef* method(const char* name) {
    for (PyMethodDef& m : methods)
        if (std::string_view(m.ml_name) == name) return &m;
    return nullptr;
}

// Appends `name` to module.__all__ (created when missing) and sets the attribute.
Expected<Done, CallError> add(PyObject* module, const char* name, PyObject* value) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return CallError::fetch();
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all) return CallError::fetch();
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return CallError::fetch();
    }
    if (!PyList_Check(all.get())) return type_mismatch(all.get(), "list");
    PyRef text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) {
        PyRef exc(compat::take_raised_exception());
        PyRef described(exc ? PyObject_Str(exc.get()) : nullptr);
        const char* detail = described ? PyUnicode_AsUTF8(described.get()) : nullptr;
        PyErr_Clear();
        panic(std::string(msg::kAllAppendFailed) + ": " + (detail ? detail : "unknown error"));
    }
    if (PyObject_SetAttrString(module, name, value) < 0) return CallError::fetch();
    return Done{};
}

}  // namespace

Expected<Done, CallError> register_module(PyObject* parent) {
    PyRef sub(PyModule_New("bigjson"));
    if (!sub) return CallError::fetch();
    PyRef sys(PyImport_ImportModule("sys"));
    if (!sys) return CallError::fetch();
    PyRef modules(PyObject_GetAttrString(sys.get(), "modules"));
    if (!modules) return CallError::fetch();
    PyRef qualified(PyUnicode_FromString("qvtok.bigjson"));
    if (!qualified || PyObject_SetItem(modules.get(), qualified.get(), sub.get()) < 0)
        return CallError::fetch();

    // Its __name__ stays "bigjson", which its functions' __module__ repeats;
    // its __spec__ names it as sys.modules does, and its repr shows that name.
    PyRef machinery(PyImport_ImportModule("importlib.machinery"));
    if (!machinery) return CallError::fetch();
    PyRef spec(PyObject_CallMethod(machinery.get(), "ModuleSpec", "OO", qualified.get(), Py_None));
    if (!spec || PyObject_SetAttrString(sub.get(), "__spec__", spec.get()) < 0) return CallError::fetch();

    PyRef sub_name(PyModule_GetNameObject(sub.get()));
    if (!sub_name) return CallError::fetch();
    auto attached = add(parent, "bigjson", sub.get());
    if (!attached) return std::move(attached).error();

    for (const char* name : {"count", "schema", "load", "iter_records"}) {
        PyRef fn(PyCMethod_New(method(name), sub.get(), sub_name.get(), nullptr));
        if (!fn) return CallError::fetch();
        PyRef fn_name(PyObject_GetAttrString(fn.get(), "__name__"));
        if (!fn_name) return CallError::fetch();
        auto text = arg_text(fn_name.get());
        if (!text) return std::move(text).error();
        auto added = add(sub.get(), std::string(text.value()).c_str(), fn.get());
        if (!added) return std::move(added).error();
    }

    PyObject* type = record_iterator_type();
    if (type == nullptr) return CallError::fetch();
    return add(sub.get(), "RecordIterator", type);
}

}  // namespace qvtok::bigjson
