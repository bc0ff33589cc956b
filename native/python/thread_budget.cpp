#include "python/thread_budget.hpp"

#include "core/threads/budget.hpp"

namespace qvtok {
namespace {

PyObject* max_threads(PyObject*, PyObject*) { return PyLong_FromUnsignedLong(threads::allowed()); }

PyObject* set_max_threads(PyObject*, PyObject* arg) {
    if (arg == Py_None) {
        threads::set_limit(0);
        Py_RETURN_NONE;
    }
    if (!PyLong_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "set_max_threads() takes an int or None, not '%s'", Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    const long n = PyLong_AsLong(arg);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (n < 1 || n > 4096) {
        PyErr_Format(PyExc_ValueError, "set_max_threads() takes a number of threads from 1 to 4096, not %ld", n);
        return nullptr;
    }
    threads::set_limit(static_cast<unsigned>(n));
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"max_threads", max_threads, METH_NOARGS,
     "max_threads()\n--\n\n"
     "How many threads qvtok keeps busy at most, the caller's included: the\n"
     "limit set by set_max_threads() or QVTOK_MAX_THREADS, or else the cores\n"
     "the process may run on (whichever is fewer)."},
    {"set_max_threads", set_max_threads, METH_O,
     "set_max_threads(n, /)\n--\n\n"
     "Lets qvtok keep at most n threads busy, the caller's included; None\n"
     "takes the limit away. With 1, every operation runs on the caller's\n"
     "thread alone. Passes already running keep the threads they have."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Expected<Done, CallError> register_thread_budget(PyObject* module) {
    if (PyModule_AddFunctions(module, methods) < 0) return CallError::fetch();
    return Done{};
}

}  // namespace qvtok
