#include "python/values/loads_hook.hpp"

#include <string>

#include "core/json/reader.hpp"
#include "core/json/utf8.hpp"
#include "python/gc_pause.hpp"
#include "python/values/to_python.hpp"
#include "python/values/value_builder.hpp"

namespace qvtok::values {

using namespace json;  // the reader's values and options, which this file turns into objects
namespace {

constexpr char kLoadsDoc[] =
    "_loads(data, /)\n"
    "--\n"
    "\n"
    "Internal, for tests: parses one JSON text given as bytes with the\n"
    "options that give json.loads' values (keys in text order, exact\n"
    "integers) and converts it with shared keys.";

constexpr char kLoadsDirectDoc[] =
    "_loads_direct(data, /)\n"
    "--\n"
    "\n"
    "Internal, for tests: as _loads, with the values built straight from the\n"
    "text instead of from a parsed document.";

int check_signals() { return PyErr_CheckSignals(); }

Expected<std::string, CallError> utf8_text(PyObject* data) {
    if (!PyBytes_Check(data)) return type_mismatch(data, "bytes");
    std::string text(PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
    if (!is_valid_utf8(text)) return CallError::deferred(PyExc_ValueError, "the text is not valid UTF-8");
    return text;
}

CallError read_error(const JsonParseError& e) {
    if (e.interrupted) return CallError::fetch();
    return CallError::from(syntax_error(ErrorCode::InvalidJson, e, 0));
}

PyResult loads(PyObject* data) {
    auto text = utf8_text(data);
    if (!text) return std::move(text).error();
    auto doc = read_json_text(std::move(text).value(), kJsonModuleOptions, check_signals);
    if (!doc) return read_error(doc.error());
    GcPause pause;
    SharedKeyConverter converter;
    return converter.convert(doc.value().root());
}

PyResult loads_direct(PyObject* data) {
    auto text = utf8_text(data);
    if (!text) return std::move(text).error();
    GcPause pause;
    KeyCache keys;
    IntCache ints;
    PyValueBuilder builder(keys, ints);
    if (auto fault = builder.build(text.value(), kJsonModuleOptions)) return read_error(*fault);
    return builder.take();
}

PyObject* loads_entry(PyObject*, PyObject* data) {
    return call_guarded([&] { return loads(data); });
}

PyObject* loads_direct_entry(PyObject*, PyObject* data) {
    return call_guarded([&] { return loads_direct(data); });
}

PyMethodDef loads_method = {"_loads", loads_entry, METH_O, kLoadsDoc};
PyMethodDef loads_direct_method = {"_loads_direct", loads_direct_entry, METH_O, kLoadsDirectDoc};

}  // namespace

Expected<Done, CallError> register_loads_hook(PyObject* module) {
    for (PyMethodDef* def : {&loads_method, &loads_direct_method}) {
        PyRef fn(PyCFunction_NewEx(def, nullptr, nullptr));
        if (!fn) return CallError::fetch();
        if (PyObject_SetAttrString(module, def->ml_name, fn.get()) < 0) return CallError::fetch();
    }
    return Done{};
}

}  // namespace qvtok::values
