// The `progress` argument of the long passes: a callable told (bytes done,
// bytes in all or None) at the start, at most ten times a second while the
// pass runs, and at the end; True draws a tqdm bar.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include <algorithm>

#include "python/gil.hpp"
#include "python/binding.hpp"
#include "python/py_ref.hpp"

namespace qvtok::open {

class ProgressCall {
public:
    // Records between two looks at the clock: the clock is cheap, but not
    // beside a record of a few bytes.
    static constexpr std::uint64_t kRecordsBetweenLooks = 256;

    // From the argument (borrowed; NULL or None for no calls). True asks
    // qvtok._progress for a bar, which raises when tqdm is missing: before
    // any byte is read.
    static Expected<ProgressCall, CallError> from_arg(PyObject* arg) {
        ProgressCall p;
        if (arg == nullptr || arg == Py_None || arg == Py_False) return p;
        if (arg == Py_True) {
            PyRef module(PyImport_ImportModule("qvtok._progress"));
            if (!module) return CallError::fetch();
            p.callback_ = PyRef(PyObject_CallMethod(module.get(), "bar", nullptr));
            if (!p.callback_) return CallError::fetch();
            return p;
        }
        if (!PyCallable_Check(arg))
            return CallError::deferred(PyExc_TypeError,
                                       "progress must be True, False, None or a callable taking (done, total)");
        p.callback_ = PyRef::borrow(arg);
        return p;
    }

    bool active() const { return bool(callback_); }
    // The size the pass reads through; unknown for a pipe.
    void set_total(std::optional<std::uint64_t> total) { total_ = total; }
    std::optional<std::uint64_t> total() const { return total_; }

    // Whether a call is due; with the GIL held or not.
    bool due() const { return active() && std::chrono::steady_clock::now() >= next_; }

    // Calls back with `done`, the GIL held; an exception of the callable
    // ends the pass.
    // Never less than before: a pass that starts over after reading ahead
    // on threads tells no step back.
    Expected<Done, CallError> report(std::uint64_t done) {
        if (!active()) return Done{};
        done = last_ = std::max(done, last_);
        next_ = std::chrono::steady_clock::now() + kInterval;
        PyRef total = total_ ? PyRef(PyLong_FromUnsignedLongLong(*total_)) : PyRef::borrow(Py_None);
        PyRef n(PyLong_FromUnsignedLongLong(done));
        if (!total || !n) return CallError::fetch();
        PyRef r(PyObject_CallFunctionObjArgs(callback_.get(), n.get(), total.get(), nullptr));
        if (!r) return CallError::fetch();
        return Done{};
    }
    // A call when one is due, from a pass that may have let the GIL go
    // (`free`, NULL when it holds it); `done()` gives the bytes done.
    template <class Done_>
    Expected<Done, CallError> poll(Done_&& done, GilRelease* free) {
        if (!due()) return Done{};
        if (free != nullptr) free->hold();
        auto r = report(done());
        if (free != nullptr && r) free->release();
        return r;
    }
    // The last call: all of a known size is done.
    Expected<Done, CallError> finish(std::uint64_t done) { return report(total_.value_or(done)); }

private:
    static constexpr std::chrono::milliseconds kInterval{100};
    PyRef callback_;
    std::optional<std::uint64_t> total_;
    std::uint64_t last_ = 0;
    std::chrono::steady_clock::time_point next_{};
};

}  // namespace qvtok::open
