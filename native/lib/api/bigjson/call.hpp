// What every bigjson operation does first: bind the arguments, convert them
// in parameter order and resolve the record format.
#pragma once

#include <cstdint>
#include <string_view>

#include "../binding.hpp"
#include "format.hpp"

namespace qvtok::bigjson {

struct Call {
    std::string_view path;  // view into the caller's str, valid for the call
    RecordFormat format;
    std::uint64_t sample;   // only for functions that take `sample`
};

Expected<Call, CallError> prepare_call(const FunctionDescriptor& fn, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames);

// Runs the interpreter's signal handlers while a file operation waits.
inline int poll_signals() { return PyErr_CheckSignals(); }

}  // namespace qvtok::bigjson
