#include "python/values/value_builder.hpp"

#include "core/threads/budget.hpp"
#include "core/threads/core_watch.hpp"
#include "core/json/grammar.hpp"
#include "core/json/split_read.hpp"
#include "python/gc_untrack.hpp"
#include "python/values/to_python.hpp"

namespace qvtok::values {

using namespace json;  // the reader's values and options, which this file turns into objects

// The reader's sink: every value becomes its object as soon as it is read,
// on a stack until its container closes and takes it. A false return
// leaves the interpreter's exception set.
struct PySink {
    PyValueBuilder& b;

    bool push(PyObject* obj) {
        if (obj == nullptr) return false;
        b.stack_.push_back(obj);
        return true;
    }

    bool literal(Kind kind) {
        PyObject* obj = kind == Kind::Null ? Py_None : kind == Kind::True ? Py_True : Py_False;
        Py_INCREF(obj);
        b.stack_.push_back(obj);
        return true;
    }
    bool unsigned_int(std::uint64_t v) { return push(b.ints_.get_unsigned(v)); }
    bool negative_int(std::int64_t v) { return push(b.ints_.get(v)); }
    bool floating(double v) { return push(PyFloat_FromDouble(v)); }
    bool big_int(std::string_view literal) { return push(new_big_int(literal)); }
    bool string(std::string_view bytes, bool ascii) { return push(new_str(bytes, ascii)); }
    bool units(const void* units, Utf8Shape shape) { return push(new_str_of_units(units, shape)); }
    bool key(std::string_view bytes, bool ascii) { return push(b.keys_.get(bytes, ascii)); }
    bool numbered_key(std::uint32_t id, std::string_view bytes, bool ascii) {
        std::vector<PyObject*>& known = b.numbered_keys_;
        if (id < known.size()) [[likely]] {
            Py_INCREF(known[id]);
            b.stack_.push_back(known[id]);
            return true;
        }
        // Ids come in order, so a new one is the next; its str is the key
        // cache's, shared with every other read of the conversion.
        if (id != known.size()) panic("a read numbered its keys out of order");
        PyObject* str = b.keys_.get(bytes, ascii);
        if (str == nullptr) return false;
        known.push_back(str);
        Py_INCREF(str);
        b.stack_.push_back(str);
        return true;
    }

    bool close_array(std::size_t count) {
        // Made at its final size and filled in place; it takes the stack's
        // references.
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
        if (list == nullptr) return false;
        PyObject** items = b.stack_.data() + (b.stack_.size() - count);
        for (std::size_t i = 0; i < count; ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items[i]);
        untrack_finished(list);
        b.stack_.resize(b.stack_.size() - count);
        b.stack_.push_back(list);
        return true;
    }

    bool close_object(std::size_t count) {
        PyObject** pairs = b.stack_.data() + (b.stack_.size() - 2 * count);
        PyObject* dict = b.shapes_.make(pairs, count);
        if (dict == nullptr) return false;
        untrack_finished(dict);
        for (std::size_t i = 0; i < 2 * count; ++i) Py_DECREF(pairs[i]);
        b.stack_.resize(b.stack_.size() - 2 * count);
        b.stack_.push_back(dict);
        return true;
    }
};

namespace {

int check_signals() { return PyErr_CheckSignals(); }

}  // namespace

PyValueBuilder::~PyValueBuilder() { unwind(); }

// Room for the values of a large array is not kept past the read that
// needed it: a pass may hold its builder long after one large document.
constexpr std::size_t kKeptStack = std::size_t{1} << 16;

void PyValueBuilder::release_stack() {
    if (stack_.capacity() > kKeptStack) std::vector<PyObject*>().swap(stack_);
    else stack_.clear();
}

void PyValueBuilder::unwind() {
    for (PyObject* obj : stack_) Py_DECREF(obj);
    release_stack();
}

void PyValueBuilder::take_built() {
    if (stack_.size() != 1) panic("a value read left the builder's stack uneven");
    built_ = PyRef(stack_.back());
    release_stack();
}

// From this size on a text is read on a thread of its own while this one
// builds its values: below it, handing the text over and waiting for the
// first values cost more than the parse the other thread takes over.
constexpr std::size_t kSplitFrom = std::size_t{64} << 10;

// Whether a text is read on a thread of its own.
// Not while the second thread has lately found no core free: it would
// take longer than this one alone.
static bool splits(std::size_t bytes) {
    return bytes >= kSplitFrom && threads::allowed() > 1 && threads::second_core_free();
}

void PyValueBuilder::expect(std::size_t bytes) {
    if (splits(bytes)) SplitRead::prepare();
}

void PyValueBuilder::begin(std::string_view text, const ReadOptions& options) {
    abandon();
    if (!splits(text.size())) return;
    started_ = SplitRead::start(text, options);
    started_text_ = text;
}

void PyValueBuilder::abandon() { started_.reset(); }

std::optional<JsonParseError> PyValueBuilder::read(std::string_view text, const ReadOptions& options) {
    PySink sink{*this};
    std::unique_ptr<SplitRead> split = std::move(started_);
    if (split && (started_text_.data() != text.data() || started_text_.size() != text.size())) split.reset();
    bool alone = false;
    if (split && split->withdraw()) {
        // Started while the text was checked, its thread has not woken yet:
        // its core is asleep or busy, and waking it can take longer than
        // this thread takes to read the text alone. On a quiet machine the
        // early wake has it awake by now: a busy one is backed off.
        split.reset();
        alone = true;
        threads::kept_from_core();
    }
    if (!split && !alone && splits(text.size())) split = SplitRead::start(text, options);
    if (split) {
        auto fault = split->replay(sink, check_signals);
        if (fault && fault->interrupted && split->out_of_memory() && !PyErr_Occurred()) PyErr_NoMemory();
        for (PyObject* str : numbered_keys_) Py_DECREF(str);
        numbered_keys_.clear();
        return fault;
    }
    // Ctrl-C is seen within a fraction of a second even in a huge document.
    return read_json_into(text, sink, options, check_signals);
}

std::optional<JsonParseError> PyValueBuilder::build(std::string_view text, const ReadOptions& options) {
    built_ = PyRef();
    auto fault = read(text, options);
    if (fault) {
        unwind();
        return fault;
    }
    take_built();
    return std::nullopt;
}

ValueBuilder::Front PyValueBuilder::build_front(std::string_view text, const ReadOptions& options) {
    built_ = PyRef();
    PySink sink{*this};
    Front out;
    out.front = read_json_front_into(text, sink, options, out.failed);
    if (!out.front) {
        unwind();
        return out;
    }
    take_built();
    return out;
}

void PyValueBuilder::drop() { built_ = PyRef(); }

PyRef PyValueBuilder::take() {
    if (!built_) panic("a record's value was taken from a builder that holds none");
    return std::move(built_);
}

}  // namespace qvtok::values
