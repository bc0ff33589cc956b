// The module's entry: declares `_qvtok` and hands the work to each area's
// registration.
#include "python/bigjson/mod.hpp"
#include "python/binding.hpp"
#include "python/values/loads_hook.hpp"
#include "python/open/open.hpp"
#include "python/thread_budget.hpp"

namespace {

constexpr const char kModuleDoc[] =
    "The native part of qvtok, imported as `qvtok.lib._qvtok`: `open` with the\n"
    "Records and RecordsIterator classes and the JSONDecodeError and\n"
    "CompressionError exceptions, which the `qvtok` package re-exports, and the\n"
    "`bigjson` submodule.";

constexpr const char kMainInterpreterOnly[] =
    "qvtok supports only the main interpreter: its classes are made once for the process";

int exec_module(PyObject* module) {
    // Before anything is made: what a sub-interpreter made would be kept
    // for the process and outlive it. From 3.12 the interpreter refuses
    // the import itself, in the interpreters that check; this refuses it
    // in every other, and on 3.11.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, kMainInterpreterOnly);
        return -1;
    }
    qvtok::prime_exceptions();
    PyObject* done = qvtok::call_guarded([&]() -> qvtok::PyResult {
        if (module == nullptr) return qvtok::CallError::fetch();
        if (!PyModule_Check(module)) return qvtok::type_mismatch(module, "module");
        auto registered = qvtok::bigjson::register_module(module);
        if (!registered) return std::move(registered).error();
        auto hook = qvtok::values::register_loads_hook(module);
        if (!hook) return std::move(hook).error();
        auto opened = qvtok::open::register_open(module);
        if (!opened) return std::move(opened).error();
        auto budget = qvtok::register_thread_budget(module);
        if (!budget) return std::move(budget).error();
        return qvtok::PyRef::borrow(Py_None);
    });
    if (done == nullptr) return -1;
    Py_DECREF(done);
    return 0;
}

#if QVTOK_HAS_MODULE_EXPORT
// Declares the ABI this module was built for: version 1.0 of the record,
// flags telling that it uses the full (not the limited) API.
PyABIInfo_VAR(abi_info);

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    QVTOK_SLOT_MAIN_INTERPRETER_ONLY
    QVTOK_SLOT_GIL_USED
    {Py_mod_abi, &abi_info},
    {Py_mod_name, const_cast<char*>("_qvtok")},
    {Py_mod_doc, const_cast<char*>(kModuleDoc)},
    {0, nullptr},
};
#else
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    QVTOK_SLOT_MAIN_INTERPRETER_ONLY
    QVTOK_SLOT_GIL_USED
    {0, nullptr},
};
#endif

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_qvtok",
    kModuleDoc,
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) PyObject* PyInit__qvtok() {
    return PyModuleDef_Init(&module_def);
}

#if QVTOK_HAS_MODULE_EXPORT
PyMODEXPORT_FUNC PyModExport__qvtok() { return slots; }
#endif

}  // extern "C"
