// qvtok.open and the Records class: what a source holds, read anew for each
// operation when it is a path, once when it is a stream.
#include <chrono>
#include <limits>
#include <string>

#include "core/codecs/codec.hpp"
#include "core/json/reader.hpp"
#include "core/json/utf8.hpp"
#include "core/schema/model.hpp"
#include "core/schema/render.hpp"
#include "python/gc_pause.hpp"
#include "python/gc_untrack.hpp"
#include "python/int_digits.hpp"
#include "python/messages.hpp"
#include "python/open/cursor.hpp"
#include "python/open/jsonl_writer.hpp"
#include "python/open/partitions.hpp"
#include "python/open/progress.hpp"
#include "python/open/text.hpp"
#include "python/values/to_python.hpp"

namespace qvtok::open {
namespace {

constexpr const char* kOnError = "on_error must be \"raise\" or \"skip\"";
constexpr const char* kMaxDepthType = "max_depth must be an int";
constexpr const char* kMaxDepthRange = "max_depth must be from 1 to 10000";
constexpr const char* kSampleWord = "sample must be a count of records, \"all\" or None";
constexpr const char* kSampleCount = "schema() needs a sample of 0 or more records";
constexpr std::uint64_t kHeadDefault = 10;
constexpr std::uint64_t kSampleDefault = 100;
static_assert(json::kMaxNestingLimit == 10000, "the message names the limit");

struct RecordsObject {
    PyObject_HEAD
    Settings* settings;  // owned
};

Settings& settings_of(PyObject* self) { return *reinterpret_cast<RecordsObject*>(self)->settings; }

// The caller's objects that the source holds, any of which may hold the
// Records in turn: the path as given (an os.PathLike of the caller's
// class), its bytes, and the file object the first pass will read.
int records_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (Settings* s = reinterpret_cast<RecordsObject*>(self)->settings) {
        Py_VISIT(s->source.name.get());
        Py_VISIT(s->source.encoded.get());
        Py_VISIT(s->source.pending_file);
        Py_VISIT(s->source.storage_options.get());
    }
    return 0;
}

// Lets go of the file object with the reader that holds it, and of the path
// as given: the Records then reads as a spent stream would, and a path
// is still read anew from its bytes, only without its name in an OSError.
// The bytes stay; a subclass of bytes clears its own attributes.
int records_clear(PyObject* self) {
    if (Settings* s = reinterpret_cast<RecordsObject*>(self)->settings) {
        s->source.pending_file = nullptr;
        s->source.pending.reset();
        s->source.name = PyRef();
        s->source.storage_options = PyRef();
    }
    return 0;
}

void records_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete reinterpret_cast<RecordsObject*>(self)->settings;
    type->tp_free(self);
    Py_DECREF(type);
}

PyResult iterate(PyObject* self, Yield mode) {
    Settings& s = settings_of(self);
    // Compact texts are checked by the reader, never built.
    const records::Output output = mode == Yield::Raw       ? records::Output::Raw
                                   : mode == Yield::Compact ? records::Output::Compact
                                                            : records::Output::Value;
    auto cursor = Cursor::start(s, Cursor::rules(output));
    if (!cursor) return std::move(cursor).error();
    if (mode == Yield::Values || mode == Yield::Items) cursor.value()->build_values();
    return new_iterator(std::move(cursor).value(), mode, s.at.has_value());
}

PyObject* records_iter(PyObject* self) {
    return call_guarded([&] { return iterate(self, Yield::Values); });
}
PyObject* records_items(PyObject* self, PyObject*) {
    return call_guarded([&] { return iterate(self, Yield::Items); });
}
PyObject* records_raw(PyObject* self, PyObject*) {
    return call_guarded([&] { return iterate(self, Yield::Raw); });
}
PyObject* records_compact(PyObject* self, PyObject*) {
    return call_guarded([&] { return iterate(self, Yield::Compact); });
}

// Tells `progress` that the pass over `c` starts, and the size it reads.
Expected<Done, CallError> start_progress(ProgressCall& progress, Cursor& c) {
    if (c.size_known) progress.set_total(c.stream.total_bytes());
    return progress.report(0);
}

constexpr FunctionDescriptor kCountArgs{"count", {"progress"}, 1, 0, 0};

PyObject* records_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&]() -> PyResult {
        auto bound = bind(kCountArgs, args, nargs, kwnames);
        if (!bound) return std::move(bound).error();
        PyObject* progress_arg = bound.value()[0];
        // tqdm is looked for before the file is opened.
        auto progress = ProgressCall::from_arg(progress_arg);
        if (!progress) return std::move(progress).error();
        ProgressCall& p = progress.value();
        auto cursor = Cursor::start(settings_of(self), Cursor::rules(records::Output::Raw));
        if (!cursor) return std::move(cursor).error();
        Cursor& c = *cursor.value();
        if (auto told = start_progress(p, c); !told) return std::move(told).error();
        {
            GilRelease free(c.may_release());
            c.free = &free;
            for (;;) {
                c.records_read += c.stream.pass_elements();
                auto slot = c.next();
                if (!slot) return std::move(slot).error();
                if (!slot.value()) break;
                auto told = p.poll([&] { return c.bytes_done(); }, &free);
                if (!told) return std::move(told).error();
            }
        }
        c.free = nullptr;
        auto told = p.finish(c.bytes_done());
        if (!told) return std::move(told).error();
        // A count has no list of errors to leave the bytes a lost structure
        // left unread in: a number that leaves them out is no count.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(c.errors.get()); ++i) {
            PyObject* e = PyList_GET_ITEM(c.errors.get(), i);
            if (PyObject_TypeCheck(e, reinterpret_cast<PyTypeObject*>(structure_lost_type())))
                return CallError::captured(PyRef::borrow(e));
        }
        PyRef n(PyLong_FromUnsignedLongLong(c.records_read));
        if (!n) return CallError::fetch();
        return n;
    });
}

// The values of the first `limit` records (all of them without one), as a list.
PyResult collect(PyObject* self, std::optional<std::uint64_t> limit, PyObject* progress_arg = nullptr) {
    auto progress = ProgressCall::from_arg(progress_arg);
    if (!progress) return std::move(progress).error();
    ProgressCall& p = progress.value();
    auto cursor = Cursor::start(settings_of(self), Cursor::rules(records::Output::Value));
    if (!cursor) return std::move(cursor).error();
    Cursor& c = *cursor.value();
    if (auto told = start_progress(p, c); !told) return std::move(told).error();
    c.build_values();
    PyRef list(PyList_New(0));
    if (!list) return CallError::fetch();
    GcPause pause;
    while (!limit || c.records_read < *limit) {
        auto slot = c.next();
        if (!slot) return std::move(slot).error();
        if (!slot.value()) break;
        PyResult value = c.value_of(*slot.value());
        if (!value) return value;
        if (PyList_Append(list.get(), value.value().get()) < 0) return CallError::fetch();
        auto told = p.poll([&] { return c.bytes_done(); }, nullptr);
        if (!told) return std::move(told).error();
    }
    // A head that stops early has not read all.
    if (!limit) {
        auto told = p.finish(c.bytes_done());
        if (!told) return std::move(told).error();
    }
    untrack_finished(list.get());  // of values, each finished
    return list;
}

constexpr FunctionDescriptor kLoadArgs{"load", {"progress"}, 1, 0, 0};

PyObject* records_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&]() -> PyResult {
        auto bound = bind(kLoadArgs, args, nargs, kwnames);
        if (!bound) return std::move(bound).error();
        return collect(self, std::nullopt, bound.value()[0]);
    });
}

// A count of records, 0 or more. A negative one is a wrong request: a
// ValueError that says `negative`. One beyond any file's records asks for
// all of them, and gets them.
Expected<std::uint64_t, CallError> count_arg(PyObject* arg, const char* name, const char* negative) {
    PyRef index(PyNumber_Index(arg));
    if (!index) return argument_error(name, CallError::fetch());
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return argument_error(name, CallError::fetch());
    if (overflow > 0) return std::numeric_limits<std::uint64_t>::max();
    if (overflow < 0 || value < 0) return CallError::deferred(PyExc_ValueError, negative);
    return static_cast<std::uint64_t>(value);
}

constexpr FunctionDescriptor kHeadArgs{"head", {"n"}, 1, 0};

PyObject* records_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&]() -> PyResult {
        auto bound = bind(kHeadArgs, args, nargs, kwnames);
        if (!bound) return std::move(bound).error();
        PyObject* n_arg = bound.value()[0];
        std::uint64_t n = kHeadDefault;
        if (n_arg != nullptr) {
            auto given = count_arg(n_arg, "n", msg::kHeadCount);
            if (!given) return std::move(given).error();
            n = given.value();
        }
        return collect(self, n);
    });
}

// schema's `sample`: a count, or every record for None and "all", the
// command line's word for it. 0 samples no record and gives "unknown", as
// bigjson.schema and the command line do.
Expected<std::optional<std::uint64_t>, CallError> sample_size(PyObject* arg) {
    using Size = std::optional<std::uint64_t>;
    if (arg == nullptr) return Size(kSampleDefault);
    if (arg == Py_None) return Size();
    if (PyUnicode_Check(arg)) {
        if (PyUnicode_CompareWithASCIIString(arg, "all") == 0) return Size();
        return CallError::deferred(PyExc_ValueError, kSampleWord);
    }
    auto n = count_arg(arg, "sample", kSampleCount);
    if (!n) return std::move(n).error();
    return Size(n.value());
}

constexpr FunctionDescriptor kSchemaArgs{"schema", {"sample", "progress"}, 2, 0, 1};

PyObject* records_schema(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&]() -> PyResult {
        auto bound = bind(kSchemaArgs, args, nargs, kwnames);
        if (!bound) return std::move(bound).error();
        PyObject* sample_arg = bound.value()[0];
        PyObject* progress_arg = bound.value()[1];
        auto chosen = sample_size(sample_arg);
        if (!chosen) return std::move(chosen).error();
        std::optional<std::uint64_t> sample = chosen.value();
        // The rules and key order of bigjson.schema, so that the texts agree,
        // with json's white space and UTF-8 checked, not repaired.
        records::StreamRules rules = records::StreamRules::sampling();
        rules.repair_utf8 = false;
        rules.space = records::SpaceAround::Json;
        // The records may come read ahead on another thread, whose waits
        // would be the pass's only signal checks: the fold makes its own.
        schema::SchemaBuilder builder(interpreter_hooks().poll);
        {
            auto progress = ProgressCall::from_arg(progress_arg);
            if (!progress) return std::move(progress).error();
            ProgressCall& p = progress.value();
            auto cursor = Cursor::start(settings_of(self), rules);
            if (!cursor) return std::move(cursor).error();
            Cursor& c = *cursor.value();
            if (auto told = start_progress(p, c); !told) return std::move(told).error();
            bool ended = false;
            while (!sample || c.records_read < *sample) {
                auto slot = c.next();
                if (!slot) return std::move(slot).error();
                if (!slot.value()) {
                    ended = true;
                    break;
                }
                if (!builder.add(slot.value()->record->root())) return CallError::fetch();
                c.recycle(std::move(*slot.value()->record));
                auto told = p.poll([&] { return c.bytes_done(); }, nullptr);
                if (!told) return std::move(told).error();
            }
            // A sample that stops early ends the pass where it stopped.
            auto told = ended ? p.finish(c.bytes_done()) : p.report(c.bytes_done());
            if (!told) return std::move(told).error();
        }
        std::string text = schema::render_schema(builder.finish());
        PyRef result(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
        if (!result) return CallError::fetch();
        return result;
    });
}

// validate(workers=None) and _validate(workers, keep): the counts and the
// first errors, from threads where the file can be cut.
PyResult run_validate(PyObject* self, PyObject* workers_arg, Py_ssize_t keep, std::uint64_t part_size = 0,
                      PyObject* progress_arg = nullptr, PyObject* found = nullptr) {
    auto progress = ProgressCall::from_arg(progress_arg);
    if (!progress) return std::move(progress).error();
    std::optional<std::size_t> workers;
    if (workers_arg != nullptr && workers_arg != Py_None) {
        auto n = arg_size(workers_arg);
        if (!n || n.value() == 0) {
            PyErr_Clear();
            return CallError::deferred(PyExc_ValueError, "workers must be a positive number of threads, or None");
        }
        workers = n.value();
    }
    return validate_parallel(settings_of(self), workers, keep, part_size, progress.value(), found);
}

constexpr FunctionDescriptor kValidateArgs{"validate", {"workers", "progress"}, 2, 0, 0};

PyObject* records_validate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&]() -> PyResult {
        auto bound = bind(kValidateArgs, args, nargs, kwnames);
        if (!bound) return std::move(bound).error();
        auto counts = run_validate(self, bound.value()[0], kKeptErrors, 0, bound.value()[1]);
        if (!counts) return counts;
        PyObject* t = counts.value().get();
        if (PyObject* failure = PyTuple_GET_ITEM(t, 3); failure != Py_None)
            return CallError::captured(PyRef::borrow(failure));
        // (good, errors) as a tuple, with the count of invalid records
        // beside it: the kept errors stop at 1000, the count does not.
        PyRef module(PyImport_ImportModule("qvtok.validation"));
        if (!module) return CallError::fetch();
        PyRef cls(PyObject_GetAttrString(module.get(), "Validation"));
        if (!cls) return CallError::fetch();
        PyRef result(PyObject_CallFunctionObjArgs(cls.get(), PyTuple_GET_ITEM(t, 0), PyTuple_GET_ITEM(t, 2),
                                                  PyTuple_GET_ITEM(t, 1), nullptr));
        if (!result) return CallError::fetch();
        return result;
    });
}

constexpr FunctionDescriptor kValidateCountsArgs{"_validate", {"workers", "keep", "part_size", "progress", "found"}, 5,
                                                 2};

PyObject* records_validate_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&]() -> PyResult {
        auto bound = bind(kValidateCountsArgs, args, nargs, kwnames);
        if (!bound) return std::move(bound).error();
        const BoundArgs& a = bound.value();
        auto keep = arg_size(a[1]);
        if (!keep) return argument_error("keep", std::move(keep).error());
        std::uint64_t part_size = 0;
        if (a[2] != nullptr) {
            auto given = arg_size(a[2]);
            if (!given) return argument_error("part_size", std::move(given).error());
            part_size = given.value();
        }
        PyObject* found = a[4] == Py_None ? nullptr : a[4];
        return run_validate(self, a[0], static_cast<Py_ssize_t>(keep.value()), part_size, a[3], found);
    });
}

// The codec to_jsonl writes with: by a path's extension for "auto" (a file
// object is written as it is: it may compress on its own), none for None.
Expected<std::optional<codecs::Codec>, CallError> output_codec(PyObject* dest, bool is_path, PyObject* compression) {
    auto choice = compression_word(compression);
    if (!choice) return std::move(choice).error();
    if (!choice.value().detect || !is_path) return choice.value().codec;
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(dest, &encoded)) return CallError::fetch();
    PyRef name(encoded);
    return codecs::codec_by_extension(
        std::string_view(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded))));
}

PyObject* to_jsonl(PyObject* self, PyObject* dest, PyObject* compression, std::uint64_t part_size,
                   PyObject* progress_arg = nullptr) {
    return call_guarded([&]() -> PyResult {
        auto progress = ProgressCall::from_arg(progress_arg);
        if (!progress) return std::move(progress).error();
        PyRef write(PyObject_GetAttrString(dest, "write"));
        if (!write) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return CallError::fetch();
            PyErr_Clear();
        }
        auto codec = output_codec(dest, !write, compression);
        if (!codec) return std::move(codec).error();
        std::unique_ptr<codecs::Encoder> encoder;
        if (codec.value()) {
            encoder = codecs::make_encoder(*codec.value());
            if (!encoder) {
                Error e = Error::of(ErrorCode::CodecUnavailable);
                e.subject = codecs::codec_name(*codec.value());
                return CallError::from(std::move(e));
            }
        }
        auto own = refuse_own_input(settings_of(self).source, dest, !write);
        if (!own) return std::move(own).error();
        std::unique_ptr<Sink> sink;
        if (write) {
            sink = std::make_unique<Sink>(write.get(), std::move(encoder));
        } else {
            auto opened = Sink::open_path(dest, std::move(encoder));
            if (!opened) return std::move(opened).error();
            sink = std::move(opened).value();
        }
        auto written = write_jsonl(settings_of(self), *sink, part_size, progress.value());
        // Closed on failure too; the first exception is the one raised. A
        // file made for a path takes the path's name only once all is
        // written: a failure leaves whatever was there before.
        auto closed = sink->close();
        if (!written) return std::move(written).error();
        if (!closed) return std::move(closed).error();
        auto kept = sink->commit();
        if (!kept) return std::move(kept).error();
        PyRef n(PyLong_FromUnsignedLongLong(written.value()));
        if (!n) return CallError::fetch();
        return n;
    });
}

constexpr FunctionDescriptor kToJsonlArgs{"to_jsonl", {"dest", "compression", "progress"}, 3, 1, 1};

PyObject* records_to_jsonl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind(kToJsonlArgs, args, nargs, kwnames);
    if (!bound) {
        std::move(bound).error().raise();
        return nullptr;
    }
    return to_jsonl(self, bound.value()[0], bound.value()[1], 0, bound.value()[2]);
}

// _to_jsonl(dest, part_size): to_jsonl with the parts for threads of this
// size, for tests that cut small files.
constexpr FunctionDescriptor kToJsonlInPartsArgs{"_to_jsonl", {"dest", "part_size"}, 2, 2};

PyObject* records_to_jsonl_in_parts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind(kToJsonlInPartsArgs, args, nargs, kwnames);
    if (!bound) {
        std::move(bound).error().raise();
        return nullptr;
    }
    auto part_size = arg_size(bound.value()[1]);
    if (!part_size) {
        std::move(part_size).error().raise();
        return nullptr;
    }
    return to_jsonl(self, bound.value()[0], nullptr, part_size.value());
}

constexpr FunctionDescriptor kPartitionsArgs{"partitions", {"size"}, 1, 0};

PyObject* records_partitions(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&]() -> PyResult {
        auto bound = bind(kPartitionsArgs, args, nargs, kwnames);
        if (!bound) return std::move(bound).error();
        return partitions_of(settings_of(self), bound.value()[0]);
    });
}

// <qvtok.Records 'data/x.json' at='/features' format='json'>: the source
// (a path as given, the caller's file object until a pass takes it, or
// standard input), then what open() settled about it.
PyResult describe(PyObject* self) {
    Settings& s = settings_of(self);
    PyRef source;
    if (s.source.is_stdin) {
        source = PyRef(PyUnicode_FromString("<stdin>"));
    } else if (s.source.url) {
        source = PyRef(PyObject_Repr(s.source.url.get()));
    } else if (s.source.name || s.source.encoded) {
        // The path as given, or its bytes once the collector let go of it.
        PyRef path = s.source.name ? PyRef(PyOS_FSPath(s.source.name.get())) : PyRef::borrow(s.source.encoded.get());
        if (!path) return CallError::fetch();
        source = PyRef(PyObject_Repr(path.get()));
    } else if (s.source.pending_file != nullptr) {
        source = PyRef(PyObject_Repr(s.source.pending_file));
    } else {
        source = PyRef(PyUnicode_FromString("<file object, read>"));
    }
    if (!source) return CallError::fetch();
    PyRef text(PyUnicode_FromFormat("<qvtok.Records %U", source.get()));
    if (!text) return CallError::fetch();
    auto append = [&](PyRef part) {
        if (!part) return false;
        PyRef joined(PyUnicode_Concat(text.get(), part.get()));
        if (!joined) return false;
        text = std::move(joined);
        return true;
    };
    if (s.at) {
        PyRef pointer(PyUnicode_DecodeUTF8(s.at->text.data(), static_cast<Py_ssize_t>(s.at->text.size()), "replace"));
        if (!pointer || !append(PyRef(PyUnicode_FromFormat(" at=%R", pointer.get())))) return CallError::fetch();
    }
    const char* format = s.format == records::RecordFormat::Json ? "json" : "jsonl";
    if (!append(PyRef(PyUnicode_FromFormat(" format='%s'", format)))) return CallError::fetch();
    if (s.source.codec &&
        !append(PyRef(PyUnicode_FromFormat(" compression='%s'", codecs::codec_name(*s.source.codec)))))
        return CallError::fetch();
    if (!append(PyRef(PyUnicode_FromString(">")))) return CallError::fetch();
    return text;
}

PyObject* records_repr(PyObject* self) {
    return call_guarded([&] { return describe(self); });
}

// Lets go of what the Records holds between passes: the file that open()
// opened to tell the format (of a path or standard input), or its
// reference to the caller's file object, which it never closes: the
// caller opened it and may go on using it. A path is opened anew by each
// pass, so it can still be read; a file object or standard input that no
// pass has read yet cannot.
PyObject* records_close(PyObject* self, PyObject*) {
    Source& source = settings_of(self).source;
    source.pending_file = nullptr;
    source.pending.reset();
    Py_RETURN_NONE;
}

PyObject* records_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* records_exit(PyObject* self, PyObject*) {
    PyObject* done = records_close(self, nullptr);
    if (done == nullptr) return nullptr;
    Py_DECREF(done);
    Py_RETURN_FALSE;  // an exception from the block goes on
}

PyObject* open_partition(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&] { return open_partition_records(args, nargs, kwnames); });
}

PyMethodDef records_methods[] = {
    {"count", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(records_count)), METH_FASTCALL | METH_KEYWORDS,
     "count($self, *, progress=None)\n--\n\nThe number of records, read without making values."},
    {"head", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(records_head)), METH_FASTCALL | METH_KEYWORDS,
     "head($self, n=10)\n--\n\nThe values of the first n records, as a list."},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(records_load)), METH_FASTCALL | METH_KEYWORDS,
     "load($self, *, progress=None)\n--\n\nThe values of all records, as a list."},
    {"items", records_items, METH_NOARGS,
     "items($self)\n--\n\nAn iterator of (key, value): the member's key for records at a pointer\n"
     "into an object, None for array elements and whole documents."},
    {"raw", records_raw, METH_NOARGS, "raw($self)\n--\n\nAn iterator of each record's exact text, as bytes."},
    {"compact", records_compact, METH_NOARGS,
     "compact($self)\n--\n\nAn iterator of each record's text on one line, as bytes: checked as JSON\n"
     "(a broken record is an error, as in iteration), white space outside strings\n"
     "dropped, every other byte as it stands. No Python values are built."},
    {"schema", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(records_schema)),
     METH_FASTCALL | METH_KEYWORDS,
     "schema($self, sample=100, *, progress=None)\n--\n\nThe structure of the first `sample` records (all with None or\n"
     "\"all\"; none with 0, which gives \"unknown\"), as bigjson.schema renders it."},
    {"to_jsonl", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(records_to_jsonl)),
     METH_FASTCALL | METH_KEYWORDS,
     "to_jsonl($self, dest, /, *, compression=\"auto\", progress=None)\n--\n\nWrites each record on one line, white space outside strings dropped and\n"
     "every other byte kept, to a path or a binary file object. Returns the\n"
     "number of records written. A path ending in .gz, .zst, .bz2 or .xz is\n"
     "compressed with that codec; `compression` may name one (\"gzip\", \"zstd\",\n"
     "\"bzip2\", \"xz\") for any destination, or be None for none. A path is\n"
     "written under another name in its folder and renamed once complete: a\n"
     "failure leaves what was there before, or nothing."},
    {"partitions", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(records_partitions)),
     METH_FASTCALL | METH_KEYWORDS,
     "partitions($self, size=\"128MiB\")\n--\n\nByte ranges of the file of about `size` bytes each, as qvtok.Partition\n"
     "objects: each reads the records whose first byte lies in it, and\n"
     "together they read every record once, in order."},
    {"validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(records_validate)),
     METH_FASTCALL | METH_KEYWORDS,
     "validate($self, *, workers=None, progress=None)\n--\n\nParses every record. Returns (count of good records, the first 1000\n"
     "errors as JSONDecodeError objects, in file order), a tuple whose `invalid`\n"
     "counts every invalid record; record errors are never raised. A file that\n"
     "can be cut into partitions is checked on `workers` threads (the cores the\n"
     "process may run on by default), with the same result."},
    {"_to_jsonl", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(records_to_jsonl_in_parts)),
     METH_FASTCALL | METH_KEYWORDS,
     "_to_jsonl($self, dest, part_size, /)\n--\n\nto_jsonl, with the file cut for threads into parts of\n"
     "about `part_size` bytes when it is larger."},
    {"_validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(records_validate_counts)),
     METH_FASTCALL | METH_KEYWORDS,
     "_validate($self, workers, keep, part_size=0, progress=None, found=None, /)\n--\n\n(good, invalid, the first `keep` errors, the\n"
     "exception that ended the pass or None): for the command line, which\n"
     "prints what was found before a failure; `part_size` overrides the size of the partitions, and\n"
     "`progress(done, total)` is called as the threads go; `found(error)` is told each error\n"
     "kept as soon as it and every record before it is checked."},
    {"close", records_close, METH_NOARGS,
     "close($self)\n--\n\nLets go of the file open() opened, or of the caller's file object,\n"
     "which is not closed. A path can still be read: each pass opens it anew."},
    {"__enter__", records_enter, METH_NOARGS, "__enter__($self)\n--\n\nThe Records itself."},
    {"__exit__", records_exit, METH_VARARGS,
     "__exit__($self, *exc_info)\n--\n\nCalls close(); an exception from the block is raised on."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot records_slots[] = {
    {Py_tp_doc, const_cast<char*>("The records of one source, made by qvtok.open.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(records_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(records_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(records_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(records_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(records_repr)},
    {Py_tp_methods, records_methods},
    {0, nullptr},
};

PyType_Spec records_spec = {
    "qvtok.Records",
    sizeof(RecordsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    records_slots,
};

PyObject* records_type() {
    static PyObject* type = compat::new_frozen_type(&records_spec);
    return type;
}

PyResult run_open(PyObject* source, PyObject* at, PyObject* format, PyObject* on_error, PyObject* compression,
                  PyObject* max_depth, PyObject* storage_options) {
    auto made = settings_from(at, on_error, max_depth);
    if (!made) return std::move(made).error();
    std::unique_ptr<Settings> settings = std::move(made).value();
    auto format_ = open_source(source, format, compression, storage_options, settings->source);
    if (!format_) return std::move(format_).error();
    settings->format = format_.value();
    return new_records(std::move(settings));
}

constexpr FunctionDescriptor kOpenArgs{
    "open", {"source", "at", "format", "on_error", "compression", "max_depth", "storage_options"}, 7, 1, 1};

PyObject* open_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&]() -> PyResult {
        auto bound = bind(kOpenArgs, args, nargs, kwnames);
        if (!bound) return std::move(bound).error();
        const BoundArgs& a = bound.value();
        return run_open(a[0], a[1], a[2], a[3], a[4], a[5], a[6]);
    });
}

constexpr const char kOpenDoc[] =
    "open(source, *, at=None, format=\"auto\", on_error=\"raise\", compression=\"auto\",\n"
    "     max_depth=1024, storage_options=None)\n"
    "--\n"
    "\n"
    "The records of a JSON or JSONL input, read one at a time.\n"
    "\n"
    "`source` is a path (str, bytes, os.PathLike), a URL that fsspec reads\n"
    "(\"s3://bucket/key\", \"https://...\", \"memory://...\"; a str that starts\n"
    "with \"scheme://\"), \"-\" for standard input, or a binary file object. A\n"
    "path or URL can be read again and again; a file object or standard input\n"
    "only once.\n"
    "`at` is a JSON Pointer naming the container whose members are the records.\n"
    "`format` is \"auto\", \"json\", \"jsonl\" or \"ndjson\". Auto goes by the file\n"
    "name's extension, then by the content: JSONL when the first line alone is\n"
    "one JSON value and another line follows it, JSON otherwise.\n"
    "`on_error` \"raise\" raises qvtok.JSONDecodeError for a broken record;\n"
    "\"skip\" passes over it and keeps it in the iterator's `errors`.\n"
    "`compression` \"auto\" reads gzip, zstd, bzip2 and xz input, known by its\n"
    "first bytes; \"gzip\", \"zstd\", \"bzip2\" or \"xz\" insists on one; None\n"
    "reads the bytes as they are. Positions count in the decompressed text;\n"
    "bytes_read and total_bytes in the compressed file.\n"
    "`max_depth` (1 to 10000) is the deepest nesting of arrays and objects\n"
    "a record may have; a bracket that opens one level more is an error.\n"
    "`storage_options` (a dict) is passed to fsspec for a URL: credentials,\n"
    "endpoint and the like.";

PyMethodDef open_partition_method = {
    "_open_partition", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_partition)),
    METH_FASTCALL | METH_KEYWORDS, "The Records of one partition (for qvtok.Partition)."};

PyObject* is_url_entry(PyObject*, PyObject* arg) { return PyBool_FromLong(is_url(arg)); }

// The one rule for what counts as a URL, for the package's Python side too.
PyMethodDef is_url_method = {"_is_url", is_url_entry, METH_O,
                             "_is_url(text, /)\n--\n\nWhether `text` is a str that qvtok.open reads as a URL."};

PyMethodDef open_method = {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_records)),
                           METH_FASTCALL | METH_KEYWORDS, kOpenDoc};

}  // namespace

PyResult validate_sequential(Settings& settings, Py_ssize_t keep, ProgressCall& progress, PyObject* found) {
    // Every record parsed, none converted; errors kept, never raised. What
    // the conversion would refuse is an error here too.
    records::StreamRules rules = Cursor::rules(records::Output::Check);
    auto limit = int_digit_limit();
    if (!limit) return std::move(limit).error();
    rules.read.max_int_digits = limit.value();
    auto cursor = Cursor::start(settings, rules, true);
    if (!cursor) return std::move(cursor).error();
    Cursor& c = *cursor.value();
    c.keep = keep;
    if (auto told = start_progress(progress, c); !told) return std::move(told).error();
    // The errors kept so far that `found` was told of.
    Py_ssize_t told_of = 0;
    auto tell_found = [&]() -> Expected<Done, CallError> {
        for (; found != nullptr && told_of < PyList_GET_SIZE(c.errors.get()); ++told_of) {
            PyRef r(PyObject_CallOneArg(found, PyList_GET_ITEM(c.errors.get(), told_of)));
            if (!r) return CallError::fetch();
        }
        return Done{};
    };
    {
        GilRelease free(c.may_release());
        c.free = &free;
        for (;;) {
            auto slot = c.next();
            // Only this pass's thread adds to its list, with the GIL that
            // next() takes back to keep an error.
            if (found != nullptr && PyList_GET_SIZE(c.errors.get()) != told_of) {
                free.hold();
                auto told = tell_found();
                if (!told) return std::move(told).error();
                free.release();
            }
            if (!slot) {
                // What was found before the failure is reported with it.
                free.hold();
                c.free = nullptr;
                return validation_report(c.records_read, c.error_count, c.errors.get(), std::move(slot).error());
            }
            if (!slot.value()) break;
            if (slot.value()->record) c.recycle(std::move(*slot.value()->record));
            auto told = progress.poll([&] { return c.bytes_done(); }, &free);
            if (!told) return std::move(told).error();
        }
    }
    c.free = nullptr;
    if (auto told = tell_found(); !told) return std::move(told).error();
    if (auto told = progress.finish(c.bytes_done()); !told) return std::move(told).error();
    return validation_report(c.records_read, c.error_count, c.errors.get());
}

PyResult validation_report(std::uint64_t good, std::uint64_t invalid, PyObject* errors,
                           std::optional<CallError> failure) {
    PyRef failed = PyRef::borrow(Py_None);
    if (failure) {
        failed = std::move(*failure).into_exception();
        if (!failed) return CallError::fetch();
    }
    PyRef result(Py_BuildValue("KKOO", static_cast<unsigned long long>(good), static_cast<unsigned long long>(invalid),
                               errors, failed.get()));
    if (!result) return CallError::fetch();
    return result;
}

namespace {

// The nesting a `max_depth` argument allows: open's default without one;
// TypeError for what is no int, ValueError outside 1 to kMaxNestingLimit.
Expected<unsigned, CallError> max_depth_arg(PyObject* max_depth) {
    if (max_depth == nullptr) return json::kOpenNestingLimit;
    if (!PyLong_Check(max_depth) || PyBool_Check(max_depth)) return CallError::deferred(PyExc_TypeError, kMaxDepthType);
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(max_depth, &overflow);
    if (n == -1 && PyErr_Occurred()) return CallError::fetch();
    if (overflow != 0 || n < 1 || n > json::kMaxNestingLimit)
        return CallError::deferred(PyExc_ValueError, kMaxDepthRange);
    return static_cast<unsigned>(n);
}

Expected<bool, CallError> skip_arg(PyObject* on_error) {
    if (on_error == nullptr || (PyUnicode_Check(on_error) && PyUnicode_CompareWithASCIIString(on_error, "raise") == 0))
        return false;
    if (PyUnicode_Check(on_error) && PyUnicode_CompareWithASCIIString(on_error, "skip") == 0) return true;
    return CallError::deferred(PyExc_ValueError, kOnError);
}

}  // namespace

Expected<std::unique_ptr<Settings>, CallError> settings_from(PyObject* at, PyObject* on_error, PyObject* max_depth) {
    auto settings = std::make_unique<Settings>();
    auto skip = skip_arg(on_error);
    if (!skip) return std::move(skip).error();
    settings->skip = skip.value();
    auto depth = max_depth_arg(max_depth);
    if (!depth) return std::move(depth).error();
    settings->max_depth = depth.value();
    if (at != nullptr && at != Py_None) {
        auto text = arg_text(at);
        if (!text) return argument_error("at", std::move(text).error());
        auto pointer = records::parse_pointer(text.value());
        if (!pointer) return CallError::from(std::move(pointer).error());
        settings->at = std::move(pointer).value();
    }
    return settings;
}

PyResult new_records(std::unique_ptr<Settings> settings) {
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(records_type());
    if (cls == nullptr) return CallError::fetch();
    PyRef self(cls->tp_alloc(cls, 0));
    if (!self) return CallError::fetch();
    reinterpret_cast<RecordsObject*>(self.get())->settings = settings.release();
    return self;
}

Expected<Done, CallError> register_open(PyObject* module) {
    auto made = make_decode_error_class();
    if (!made) return std::move(made).error();
    made = make_compression_error_class();
    if (!made) return std::move(made).error();
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return CallError::fetch();
    PyRef fn(PyCFunction_NewEx(&open_method, nullptr, module_name.get()));
    if (!fn) return CallError::fetch();
    PyRef part_fn(PyCFunction_NewEx(&open_partition_method, nullptr, module_name.get()));
    if (!part_fn) return CallError::fetch();
    PyRef url_fn(PyCFunction_NewEx(&is_url_method, nullptr, module_name.get()));
    if (!url_fn) return CallError::fetch();
    struct Entry {
        const char* name;
        PyObject* value;  // borrowed
    };
    for (Entry e : {Entry{"open", fn.get()}, Entry{"_open_partition", part_fn.get()}, Entry{"_is_url", url_fn.get()},
                    Entry{"Records", records_type()},
                    Entry{"RecordsIterator", iterator_type()}, Entry{"JSONDecodeError", decode_error_type()},
                    Entry{"StructureLostError", structure_lost_type()},
                    Entry{"CompressionError", compression_error_type()}}) {
        if (e.value == nullptr) return CallError::fetch();
        if (PyModule_AddObjectRef(module, e.name, e.value) < 0) return CallError::fetch();
    }
    return Done{};
}

}  // namespace qvtok::open
