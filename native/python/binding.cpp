#include "python/binding.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "python/messages.hpp"

namespace qvtok {
namespace {

CallError type_error(std::string message) {
    return CallError::deferred(PyExc_TypeError, std::move(message));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) out += " and ";
            else if (i + 1 == names.size()) out += ", and ";
            else out += ", ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

}  // namespace

CallError CallError::fetch() {
    PyObject* exc = compat::take_raised_exception();
    if (exc == nullptr) return deferred(PyExc_SystemError, msg::kNoExceptionSet);
    return captured(PyRef(exc));
}

void CallError::raise() && {
    if (exc_) {
        compat::restore_raised_exception(exc_.release());
        return;
    }
    if (!PyType_Check(cls_) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls_),
                          reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
        PyErr_SetString(PyExc_TypeError, msg::kNotBaseException);
        return;
    }
    // A file name in the message may be bytes that are not UTF-8: they show
    // as \xNN escapes instead of failing the whole error.
    PyRef text(PyUnicode_DecodeUTF8(message_.data(), static_cast<Py_ssize_t>(message_.size()),
                                    "backslashreplace"));
    if (!text) return;  // the decode error is pending instead
    PyErr_SetObject(cls_, text.get());
    if (code_ == nullptr) return;
    // The code rides along on the exception, so that callers (the command
    // line) can tell errors apart without reading their texts.
    PyRef exc(compat::take_raised_exception());
    PyRef name(PyUnicode_FromString(code_));
    if (!name || PyObject_SetAttrString(exc.get(), "_qvtok_code", name.get()) < 0) return;
    compat::restore_raised_exception(exc.release());
}

PyRef CallError::into_exception() && {
    if (exc_) return std::move(exc_);
    std::move(*this).raise();
    return PyRef(compat::take_raised_exception());
}

void prime_exceptions() noexcept {
    try {
        throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
}

[[noreturn]] void panic(std::string message, std::source_location where) {
    throw Panic(std::move(message), where);
}

PyObject* panic_exception_type() {
    // Created under the GIL on first use and kept for the life of the process.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "qvtok.PanicException",
            "Raised when the extension's native code fails internally.\n\n"
            "Like SystemExit, it derives from BaseException, not Exception, so it\n"
            "typically propagates all the way up and ends the interpreter.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

namespace detail {
namespace {

void raise_panic(const char* message, const char* file, unsigned line) {
    std::fprintf(stderr, "qvtok: internal fault at %s:%u: %s\n", file, line, message);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // its creation left an exception pending
    PyErr_SetString(type, message);
}

}  // namespace

void raise_escaped(std::exception_ptr escaped) noexcept {
    try {
        try {
            std::rethrow_exception(escaped);
        } catch (const std::bad_alloc&) {
            // Everything the call held was released on the way out.
            PyErr_NoMemory();
        } catch (const Panic& p) {
            raise_panic(p.message.c_str(), p.where.file_name(), p.where.line());
        } catch (const std::exception& e) {
            raise_panic(e.what(), __FILE__, __LINE__);
        } catch (...) {
            raise_panic(msg::kUnknownFault, __FILE__, __LINE__);
        }
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

}  // namespace detail

CallError type_mismatch(PyObject* obj, const char* target) {
    if (obj == Py_None) return type_error(std::string("'None' is not an instance of '") + target + "'");
    std::string name = "<failed to extract type name>";
    PyRef qualname(PyType_GetQualName(Py_TYPE(obj)));
    if (qualname) {
        Py_ssize_t size;
        const char* utf8 = PyUnicode_AsUTF8AndSize(qualname.get(), &size);
        if (utf8 != nullptr) name.assign(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return type_error("'" + name + "' object is not an instance of '" + target + "'");
}

Expected<BoundArgs, CallError> bind(const FunctionDescriptor& fn, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs slots{};
    std::size_t given = static_cast<std::size_t>(nargs);
    std::string name = std::string(fn.name) + "()";
    const std::size_t positional = std::min(fn.positional, fn.count);
    if (given > positional) {
        std::string message = name + " takes ";
        const bool range = fn.required != positional;
        if (range) message += "from " + std::to_string(fn.required) + " to ";
        message += std::to_string(positional) +
                   (positional == 1 && !range ? " positional argument but " : " positional arguments but ") +
                   std::to_string(given) + (given == 1 ? " was" : " were") + " given";
        return type_error(std::move(message));
    }
    for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];

    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size;
        const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
        if (utf8 == nullptr) return CallError::fetch();
        std::string_view keyword(utf8, static_cast<std::size_t>(size));
        std::size_t p = 0;
        while (p < fn.count && fn.params[p] != keyword) ++p;
        if (p == fn.count) {
            return type_error(name + " got an unexpected keyword argument '" +
                              std::string(keyword) + "'");
        }
        if (slots[p] != nullptr) {
            return type_error(name + " got multiple values for argument '" +
                              std::string(fn.params[p]) + "'");
        }
        slots[p] = args[nargs + k];
    }

    if (given < fn.required) {
        std::vector<std::string_view> missing;
        for (std::size_t p = 0; p < fn.required; ++p)
            if (slots[p] == nullptr) missing.push_back(fn.params[p]);
        if (!missing.empty()) {
            return type_error(name + " missing " + std::to_string(missing.size()) +
                              " required positional " +
                              (missing.size() == 1 ? "argument: " : "arguments: ") +
                              quoted_list(missing));
        }
    }
    return slots;
}

Expected<std::string_view, CallError> arg_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return type_mismatch(obj, "str");
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) return CallError::fetch();
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

Expected<std::uint64_t, CallError> arg_size(PyObject* obj) {
    unsigned long long value;
    if (PyLong_Check(obj)) {
        value = PyLong_AsUnsignedLongLong(obj);
    } else {
        PyRef index(PyNumber_Index(obj));
        if (!index) return CallError::fetch();
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return CallError::fetch();
    return static_cast<std::uint64_t>(value);
}

CallError with_note(CallError error, PyRef note) {
    PyRef exc = std::move(error).into_exception();
    if (!exc) return CallError::fetch();
    if (note) {
        static PyObject* add_note = nullptr;
        if (add_note == nullptr) add_note = PyUnicode_InternFromString("add_note");
        if (add_note != nullptr) {
            PyObject* call_args[] = {exc.get(), note.get()};
            PyRef done(PyObject_VectorcallMethod(
                add_note, call_args, 2, nullptr));
        }
    }
    // A note that could not be attached is dropped; the error itself is
    // what the caller must see.
    PyErr_Clear();
    return CallError::captured(std::move(exc));
}

CallError argument_error(const char* param, CallError error) {
    return with_note(std::move(error), PyRef(compat::argument_note(param)));
}

Expected<PathBytes, CallError> path_arg(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return argument_error("path", type_mismatch(obj, "str"));
    PyRef encoded(PyUnicode_EncodeFSDefault(obj));
    if (!encoded) return argument_error("path", CallError::fetch());
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) return CallError::fetch();
    std::string_view bytes(data, static_cast<std::size_t>(size));
    return PathBytes{std::move(encoded), bytes};
}

Expected<std::optional<std::string_view>, CallError> format_arg(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return std::optional<std::string_view>();
    auto text = arg_text(obj);
    if (!text) return argument_error("format", std::move(text).error());
    return std::optional<std::string_view>(text.value());
}

}  // namespace qvtok
