// Registration of the `bigjson` feature area.
#pragma once

#include "python/binding.hpp"

namespace qvtok::bigjson {

// Builds a fresh `bigjson` submodule, stores it in sys.modules as
// "qvtok.bigjson" and attaches it to `parent`.
Expected<Done, CallError> register_module(PyObject* parent);

}  // namespace qvtok::bigjson
