// An owned reference to a Python object, released when it goes out of scope.
#pragma once

#include "python/compat.hpp"

namespace qvtok {

class PyRef {
public:
    PyRef() = default;
    // Steals `obj` (which may be NULL).
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
    static PyRef borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return PyRef(obj);
    }
    PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = other.obj_;
            other.obj_ = nullptr;
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept {
        PyObject* obj = obj_;
        obj_ = nullptr;
        return obj;
    }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace qvtok
