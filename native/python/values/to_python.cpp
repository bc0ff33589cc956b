#include "python/values/to_python.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "python/gc_untrack.hpp"
#include "python/messages.hpp"

namespace qvtok::values {

using namespace json;  // the reader's values and options, which this file turns into objects
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

// The containers still open while a value is converted, innermost last: a
// few levels in place, deeper ones on the heap, so that the native stack
// does not grow with the value's depth.
struct OpenContainer {
    PyObject* object;      // the list or dict being filled (owned)
    const Entry* member;   // a dict: the member whose value is being made; nullptr for a list
    std::size_t element;   // a list: the tape index of the element being made
    std::size_t left;      // elements or members still to come, the current one included
    Py_ssize_t filled;     // a list: slots set so far
};

class OpenContainers {
public:
    OpenContainers() = default;
    OpenContainers(const OpenContainers&) = delete;
    OpenContainers& operator=(const OpenContainers&) = delete;
    // On failure the containers made so far go with it.
    ~OpenContainers() {
        while (!empty()) Py_DECREF(pop());
    }

    bool empty() const { return size_ == 0; }
    OpenContainer& top() { return size_ <= kInPlace ? in_place_[size_ - 1] : deeper_.back(); }
    void push(const OpenContainer& c) {
        if (size_ < kInPlace) {
            in_place_[size_] = c;
        } else {
            deeper_.push_back(c);
        }
        ++size_;
    }
    // The container on top, handed over.
    PyObject* pop() {
        PyObject* object = top().object;
        if (size_ > kInPlace) deeper_.pop_back();
        --size_;
        return object;
    }

private:
    static constexpr std::size_t kInPlace = 32;
    OpenContainer in_place_[kInPlace];
    std::vector<OpenContainer> deeper_;
    std::size_t size_ = 0;
};

template <class Keys>
class Converter {
public:
    Converter(Keys keys, unsigned& until_poll) : keys_(keys), until_poll_(until_poll) {}

    // Converts `root`; the object is a new reference, or NULL with an
    // exception set.
    PyObject* convert(Value root) {
        const Document* doc = &root.document();
        OpenContainers open;
        Value v = root;
        for (;;) {
            // Ctrl-C is seen within a fraction of a second even while a huge
            // document is converted: the handlers run every so many values.
            if (--until_poll_ == 0) [[unlikely]] {
                until_poll_ = kValuesBetweenPolls;
                if (PyErr_CheckSignals() < 0) return nullptr;
            }
            PyObject* made;
            switch (v.kind()) {
                case Kind::Null: made = Py_NewRef(Py_None); break;
                case Kind::False: made = Py_NewRef(Py_False); break;
                case Kind::True: made = Py_NewRef(Py_True); break;
                case Kind::Unsigned: made = keys_.unsigned_integer(v.as_unsigned()); break;
                case Kind::Negative: made = keys_.integer(v.as_negative()); break;
                case Kind::Float: made = checked(PyFloat_FromDouble(v.as_float())); break;
                case Kind::String: made = new_str(v.str(), v.is_ascii()); break;
                case Kind::BigInt: made = new_big_int(v.str()); break;
                case Kind::Array: {
                    // The element count is known, so the list is made at its
                    // final size and filled in place.
                    made = checked(PyList_New(static_cast<Py_ssize_t>(v.size())));
                    if (made == nullptr || v.size() == 0) break;
                    open.push(OpenContainer{made, nullptr, v.index() + 1, v.size(), 0});
                    v = Value(doc, v.index() + 1);
                    continue;
                }
                case Kind::Object: {
                    made = checked(PyDict_New());
                    if (made == nullptr || v.size() == 0) break;
                    const Entry* first = doc->entries.data() + doc->tape[v.index() + 1].payload;
                    open.push(OpenContainer{made, first, 0, v.size(), 0});
                    v = Value(doc, first->value);
                    continue;
                }
                default: panic("corrupt value tape");
            }
            if (made == nullptr) return nullptr;
            // An empty list or dict is finished as soon as it is made.
            if (v.kind() == Kind::Array || v.kind() == Kind::Object) untrack_finished(made);
            if (open.empty()) return made;  // the value was a scalar or empty
            // The value goes into the container that waits for it; a
            // container whose last value that was is finished in turn.
            for (;;) {
                OpenContainer& c = open.top();
                if (c.member == nullptr) {
                    PyList_SET_ITEM(c.object, c.filled++, made);
                    if (--c.left != 0) {
                        c.element = Value(doc, c.element).end();
                        v = Value(doc, c.element);
                        break;
                    }
                } else {
                    PyRef value(made);
                    PyRef key(keys_.key(doc->bytes(c.member->key_head, c.member->key_offset),
                                        (c.member->key_head & kAsciiBit) != 0));
                    if (!key || PyDict_SetItem(c.object, key.get(), value.get()) < 0) return nullptr;
                    if (--c.left != 0) {
                        ++c.member;
                        v = Value(doc, c.member->value);
                        break;
                    }
                }
                made = open.pop();
                untrack_finished(made);
                if (open.empty()) return made;
            }
        }
    }

private:
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

}  // namespace qvtok::values
