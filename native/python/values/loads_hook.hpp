// `_qvtok._loads`: an internal entry for the tests of the conversion that
// gives json.load's values. Not part of the public API.
#pragma once

#include "python/binding.hpp"

namespace qvtok::values {

// Adds `_loads` to the extension module.
Expected<Done, CallError> register_loads_hook(PyObject* module);

}  // namespace qvtok::values
