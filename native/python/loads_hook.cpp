#include "python/loads_hook.hpp"

#include <string>

#include "core/json/reader.hpp"
#include "core/json/utf8.hpp"
#include "python/gc_pause.hpp"
#include "python/to_python.hpp"

namespace qvtok::json {
namespace {

constexpr char kLoadsDoc[] =
    "_loads(data, /)\n"
    "--\n"
    "\n"
    "Internal, for tests: parses one JSON text given as bytes with the\n"
    "options that give json.loads' values (keys in text order, exact\n"
    "integers) and converts it with shared keys.";

int check_signals() { return PyErr_CheckSignals(); }

PyResult loads(PyObject* data) {
    if (!PyBytes_Check(data)) return type_mismatch(data, "bytes");
    std::string text(PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
    if (!is_valid_utf8(text)) return CallError::deferred(PyExc_ValueError, "the text is not valid UTF-8");
    auto doc = read_json_text(std::move(text), kJsonModuleOptions, check_signals);
    if (!doc) {
        if (doc.error().interrupted) return CallError::fetch();
        return CallError::from(syntax_error(ErrorCode::InvalidJson, doc.error(), 0));
    }
    GcPause pause;
    SharedKeyConverter converter;
    return converter.convert(doc.value().root());
}

PyObject* loads_entry(PyObject*, PyObject* data) {
    return call_guarded([&] { return loads(data); });
}

PyMethodDef loads_method = {"_loads", loads_entry, METH_O, kLoadsDoc};

}  // namespace

Expected<Done, CallError> register_loads_hook(PyObject* module) {
    PyRef fn(PyCFunction_NewEx(&loads_method, nullptr, nullptr));
    if (!fn) return CallError::fetch();
    if (PyObject_SetAttrString(module, "_loads", fn.get()) < 0) return CallError::fetch();
    return Done{};
}

}  // namespace qvtok::json
