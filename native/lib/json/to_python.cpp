#include "to_python.hpp"

#include <cstring>

#include "../api/messages.hpp"

namespace qvtok::json {
namespace {

// A constructor returning NULL means memory ran out: an internal fault, with
// the interpreter's own exception shown to the unraisable hook first.
[[noreturn]] void constructor_failed() {
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    panic(msg::kNullObject);
}

PyObject* checked(PyObject* obj) {
    if (obj == nullptr) constructor_failed();
    return obj;
}

// ASCII text is copied straight into a compact str; anything else is decoded.
PyObject* make_str(std::string_view bytes, bool ascii) {
    Py_ssize_t n = static_cast<Py_ssize_t>(bytes.size());
    if (ascii) {
        PyObject* s = checked(PyUnicode_New(n, 127));
        std::memcpy(PyUnicode_DATA(s), bytes.data(), bytes.size());
        return s;
    }
    return checked(PyUnicode_DecodeUTF8(bytes.data(), n, nullptr));
}

class Converter {
public:
    explicit Converter(const Document& doc) : doc_(doc), tape_(doc.tape.data()) {}

    // Converts the value at `index`; the object is a new reference.
    PyObject* convert(std::size_t index) {
        const Node& n = tape_[index];
        switch (static_cast<Kind>(n.head & 0xF)) {
            case Kind::Null: Py_INCREF(Py_None); return Py_None;
            case Kind::False: Py_INCREF(Py_False); return Py_False;
            case Kind::True: Py_INCREF(Py_True); return Py_True;
            case Kind::Unsigned:
                if (n.payload <= static_cast<std::uint64_t>(INT64_MAX))
                    return checked(PyLong_FromLongLong(static_cast<long long>(n.payload)));
                return checked(PyLong_FromUnsignedLongLong(n.payload));
            case Kind::Negative:
                return checked(PyLong_FromLongLong(static_cast<long long>(n.payload)));
            case Kind::Float: {
                double d;
                std::memcpy(&d, &n.payload, sizeof d);
                return checked(PyFloat_FromDouble(d));
            }
            case Kind::String:
                return make_str(doc_.bytes(n.head, n.payload), (n.head & kAsciiBit) != 0);
            case Kind::Array: return array(index);
            case Kind::Object: return object(index);
        }
        panic("corrupt value tape");
    }

private:
    PyObject* array(std::size_t index) {
        const Node& n = tape_[index];
        Py_ssize_t size = static_cast<Py_ssize_t>(n.head >> kSizeShift);
        // The element count is known, so the list is made at its final size
        // and filled in place: no growth, no per-element append calls.
        PyRef list(checked(PyList_New(size)));
        std::size_t child = index + 1;
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = convert(child);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), i, item);
            child = Value(&doc_, child).end();
        }
        return list.release();
    }

    PyObject* object(std::size_t index) {
        Value obj(&doc_, index);
        PyRef dict(checked(PyDict_New()));
        for (Member m : obj.members()) {
            PyRef value(convert(m.value.index()));
            if (!value) return nullptr;
            PyRef key(make_str(m.key, m.key_ascii));
            if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
        }
        return dict.release();
    }

    const Document& doc_;
    const Node* tape_;
};

}  // namespace

PyResult json_value_to_python(Value value) {
    Converter converter(value.document());
    PyObject* obj = converter.convert(value.index());
    if (obj == nullptr) return CallError::fetch();
    return PyRef(obj);
}

}  // namespace qvtok::json
