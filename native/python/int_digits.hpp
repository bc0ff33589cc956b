// CPython's limit on the digits of an int made from a string.
#pragma once

#include <cstddef>

#include "python/binding.hpp"

namespace qvtok {

// The most digits int() takes from a string now (sys.get_int_max_str_digits,
// which the program may change at any time), 0 when there is no limit. GIL
// held.
inline Expected<std::size_t, CallError> int_digit_limit() {
    PyObject* get = PySys_GetObject("get_int_max_str_digits");  // borrowed
    if (get == nullptr) return std::size_t{0};
    PyRef n(PyObject_CallNoArgs(get));
    if (!n) return CallError::fetch();
    const std::size_t limit = PyLong_AsSize_t(n.get());
    if (limit == static_cast<std::size_t>(-1) && PyErr_Occurred()) return CallError::fetch();
    return limit;
}

}  // namespace qvtok
