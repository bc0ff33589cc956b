#include "python/to_python.hpp"

#include <cstring>
#include <string>

#include "python/gc_untrack.hpp"
#include "python/messages.hpp"

namespace qvtok::json {
namespace {

// A constructor returning NULL has set its exception (MemoryError, as a
// rule); the NULL travels up and every object built so far is released on
// the way. Only a NULL with nothing pending is a fault of ours.
PyObject* checked(PyObject* obj) {
    if (obj == nullptr && !PyErr_Occurred()) panic(msg::kNullObject);
    return obj;
}

// Dict keys as bigjson makes them: a fresh str for every member, and a
// fresh int for every number.
struct FreshKeys {
    PyObject* key(std::string_view bytes, bool ascii) { return new_str(bytes, ascii); }
    PyObject* integer(std::int64_t v) { return checked(PyLong_FromLongLong(v)); }
    PyObject* unsigned_integer(std::uint64_t v) { return checked(PyLong_FromUnsignedLongLong(v)); }
};

// Dict keys and ints from caches that outlive the conversion.
struct CachedKeys {
    KeyCache& cache;
    IntCache& ints;
    PyObject* key(std::string_view bytes, bool ascii) { return checked(cache.get(bytes, ascii)); }
    PyObject* integer(std::int64_t v) { return checked(ints.get(v)); }
    PyObject* unsigned_integer(std::uint64_t v) { return checked(ints.get_unsigned(v)); }
};

constexpr unsigned kValuesBetweenPolls = 1u << 16;

template <class Keys>
class Converter {
public:
    Converter(Keys keys, unsigned& until_poll) : keys_(keys), until_poll_(until_poll) {}

    // Converts `v`; the object is a new reference, or NULL with an
    // exception set.
    PyObject* convert(Value v) {
        // Ctrl-C is seen within a fraction of a second even while a huge
        // document is converted: the handlers run every so many values.
        if (--until_poll_ == 0) [[unlikely]] {
            until_poll_ = kValuesBetweenPolls;
            if (PyErr_CheckSignals() < 0) return nullptr;
        }
        switch (v.kind()) {
            case Kind::Null: Py_INCREF(Py_None); return Py_None;
            case Kind::False: Py_INCREF(Py_False); return Py_False;
            case Kind::True: Py_INCREF(Py_True); return Py_True;
            case Kind::Unsigned: return keys_.unsigned_integer(v.as_unsigned());
            case Kind::Negative: return keys_.integer(v.as_negative());
            case Kind::Float: return checked(PyFloat_FromDouble(v.as_float()));
            case Kind::String: return new_str(v.str(), v.is_ascii());
            case Kind::Array: return array(v);
            case Kind::Object: return object(v);
            case Kind::BigInt: return new_big_int(v.str());
        }
        panic("corrupt value tape");
    }

private:
    PyObject* array(Value v) {
        // The element count is known, so the list is made at its final size
        // and filled in place: no growth, no per-element append calls.
        PyRef list(checked(PyList_New(static_cast<Py_ssize_t>(v.size()))));
        if (!list) return nullptr;
        Py_ssize_t i = 0;
        for (Value element : v.elements()) {
            PyObject* item = convert(element);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), i++, item);
        }
        untrack_finished(list.get());
        return list.release();
    }

    PyObject* object(Value v) {
        PyRef dict(checked(PyDict_New()));
        if (!dict) return nullptr;
        for (Member m : v.members()) {
            PyRef value(convert(m.value));
            if (!value) return nullptr;
            PyRef key(keys_.key(m.key, m.key_ascii));
            if (!key) return nullptr;
            if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
        }
        untrack_finished(dict.get());
        return dict.release();
    }

    Keys keys_;
    unsigned& until_poll_;
};

}  // namespace

PyObject* new_big_int(std::string_view literal) {
    std::string text(literal);
    return checked(PyLong_FromString(text.c_str(), nullptr, 10));
}

// A str from bytes the reader has already checked to be UTF-8. The string is
// made at its final width and filled in one pass, without the interpreter's
// decoder widening its buffer as it meets larger characters.
PyObject* new_str(std::string_view bytes, bool ascii) {
    Py_ssize_t n = static_cast<Py_ssize_t>(bytes.size());
    if (ascii) {
        PyObject* s = checked(PyUnicode_New(n, 127));
        if (s == nullptr) return nullptr;
        std::memcpy(PyUnicode_DATA(s), bytes.data(), bytes.size());
        return s;
    }
    return new_str(bytes, utf8_shape(bytes));
}

PyObject* new_str(std::string_view bytes, Utf8Shape shape) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    PyObject* s = checked(PyUnicode_New(static_cast<Py_ssize_t>(shape.chars), shape.max_char));
    if (s == nullptr) return nullptr;
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: decode_utf8_into(p, end, PyUnicode_1BYTE_DATA(s), PyUnicode_1BYTE_DATA(s) + n); break;
        case PyUnicode_2BYTE_KIND: decode_utf8_into(p, end, PyUnicode_2BYTE_DATA(s), PyUnicode_2BYTE_DATA(s) + n); break;
        default: decode_utf8_into(p, end, PyUnicode_4BYTE_DATA(s), PyUnicode_4BYTE_DATA(s) + n); break;
    }
    return s;
}

PyObject* new_str_of_units(const void* units, Utf8Shape shape) {
    PyObject* s = checked(PyUnicode_New(static_cast<Py_ssize_t>(shape.chars), shape.max_char));
    if (s == nullptr) return nullptr;
    std::memcpy(PyUnicode_DATA(s), units, shape.chars * PyUnicode_KIND(s));
    return s;
}

PyResult json_value_to_python(Value value) {
    unsigned until_poll = kValuesBetweenPolls;
    Converter<FreshKeys> converter(FreshKeys{}, until_poll);
    PyObject* obj = converter.convert(value);
    if (obj == nullptr) return CallError::fetch();
    return PyRef(obj);
}

PyResult SharedKeyConverter::convert(Value value) {
    // The signal check counts on from the last value: a stream of small
    // records is polled as often as one large document.
    if (until_poll_ == 0) until_poll_ = kValuesBetweenPolls;
    Converter<CachedKeys> converter(CachedKeys{keys_, ints_}, until_poll_);
    PyObject* obj = converter.convert(value);
    if (obj == nullptr) return CallError::fetch();
    return PyRef(obj);
}

}  // namespace qvtok::json
