// Records.partitions, the Records of one partition, and validation of a
// file's partitions on threads of their own.
#include <sys/stat.h>

#include <atomic>
#include <iterator>
#include <thread>

#include "core/threads/budget.hpp"
#include "core/codecs/codec.hpp"
#include "python/gil.hpp"
#include "python/gc_pause.hpp"
#include "python/int_digits.hpp"
#include "python/open/cursor.hpp"
#include "python/open/part_threads.hpp"
#include "python/open/partitions.hpp"
#include "python/open/open.hpp"

namespace qvtok::open {
namespace {

constexpr const char* kSize = "size must be a positive number of bytes, such as 134217728 or \"128MiB\"";
constexpr const char* kNotAFile =
    "partitions need a path to a file that can be read from any place, not a stream or standard input";

}  // namespace

std::string_view path_of(const Settings& s) {
    return std::string_view(PyBytes_AS_STRING(s.source.encoded.get()),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(s.source.encoded.get())));
}

bool names_regular_file(const Settings& s) {
    struct stat st;
    return s.source.encoded && ::stat(PyBytes_AS_STRING(s.source.encoded.get()), &st) == 0 && S_ISREG(st.st_mode);
}

records::StreamRules plan_rules(const Settings& s) {
    records::StreamRules rules = Cursor::rules(records::Output::Check);
    rules.at = s.at;
    rules.read.max_depth = s.max_depth;
    return rules;
}

namespace {

// "128MiB", "64 MB", "1G", "4096": units as Dask reads them (k, M, G, T
// are powers of 1000; ki, Mi, Gi, Ti powers of 1024; a trailing B is
// optional), in any letter case.
std::optional<std::uint64_t> parse_size(std::string_view text) {
    std::size_t i = 0;
    double number = 0;
    bool digits = false;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') number = number * 10 + (text[i++] - '0'), digits = true;
    if (i < text.size() && text[i] == '.') {
        double scale = 0.1;
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, scale /= 10) number += (text[i] - '0') * scale, digits = true;
    }
    if (!digits) return std::nullopt;
    while (i < text.size() && text[i] == ' ') ++i;
    std::string unit;
    for (; i < text.size(); ++i) unit += static_cast<char>(text[i] >= 'A' && text[i] <= 'Z' ? text[i] + 32 : text[i]);
    if (!unit.empty() && unit.back() == 'b') unit.pop_back();
    static const struct {
        const char* name;
        double factor;
    } units[] = {{"", 1},           {"k", 1e3},           {"m", 1e6},           {"g", 1e9},
                 {"t", 1e12},       {"ki", 1024.0},       {"mi", 1048576.0},    {"gi", 1073741824.0},
                 {"ti", 1099511627776.0}};
    for (const auto& u : units)
        if (unit == u.name) {
            double bytes = number * u.factor;
            if (bytes < 1 || bytes > 9.0e18) return std::nullopt;
            return static_cast<std::uint64_t>(bytes);
        }
    return std::nullopt;
}

Expected<std::uint64_t, CallError> size_arg(PyObject* arg) {
    if (arg == nullptr) return std::uint64_t{128} << 20;
    if (PyUnicode_Check(arg)) {
        auto text = arg_text(arg);
        if (!text) return std::move(text).error();
        if (auto size = parse_size(text.value())) return *size;
        return CallError::deferred(PyExc_ValueError, kSize);
    }
    auto n = arg_size(arg);
    if (!n || n.value() == 0) {
        PyErr_Clear();
        return CallError::deferred(PyExc_ValueError, kSize);
    }
    return n.value();
}


// The plan of the file behind `s`, the GIL let go while it is made.
Expected<std::vector<records::PartitionPlan>, CallError> plan_of(Settings& s, std::uint64_t size) {
    if (s.source.url) {
        // A URL is read by ranges, which each reader requests anew.
        records::PartitionPlan whole;
        whole.record_known = true;
        whole.last = true;
        whole.length = s.source.url_size.value_or(0);
        std::vector<records::PartitionPlan> parts{whole};
        // JSON Lines of a known size are cut at line starts, found by a few
        // ranged reads per cut; the elements of a top-level array by one
        // read through the file; anything else is one partition, planned
        // from what open() learned.
        if (s.source.codec || !s.source.url_size || whole.length <= size) return parts;
        if (s.format == records::RecordFormat::Json) {
            if (s.at && !s.at->segments.empty()) return parts;
            auto opened = take_reader(s.source);
            if (!opened) return std::move(opened).error();
            std::vector<records::PartitionPlan> cut;
            auto scanned = records::scan_array_partitions(*opened.value().reader, whole.length, size,
                                                          interpreter_hooks(),
                                                          [&](const records::PartitionPlan& part) {
                                                              cut.push_back(part);
                                                              return true;
                                                          });
            if (!scanned) return input_error(std::move(scanned).error());
            return scanned.value() ? cut : parts;
        }
        PyRef module(PyImport_ImportModule("qvtok._remote"));
        if (!module) return CallError::fetch();
        PyObject* options = s.source.storage_options ? s.source.storage_options.get() : Py_None;
        PyRef starts(PyObject_CallMethod(module.get(), "line_starts", "OOKK", s.source.url.get(), options,
                                         static_cast<unsigned long long>(whole.length),
                                         static_cast<unsigned long long>(size)));
        if (!starts) return CallError::fetch();
        PyRef seq(PySequence_Fast(starts.get(), "line_starts returns a list"));
        if (!seq) return CallError::fetch();
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            unsigned long long start = PyLong_AsUnsignedLongLong(PySequence_Fast_GET_ITEM(seq.get(), i));
            if (PyErr_Occurred()) return CallError::fetch();
            records::PartitionPlan part;
            part.offset = start;
            part.resume.offset = start;
            part.length = whole.length - start;
            part.last = true;
            parts.back().length = start - parts.back().offset;
            parts.back().last = false;
            parts.push_back(part);
        }
        return parts;
    }
    if (!names_regular_file(s)) return CallError::deferred(PyExc_ValueError, kNotAFile);
    if (s.source.codec) {
        // A compressed stream cannot be entered in the middle.
        records::PartitionPlan whole;
        whole.record_known = true;
        whole.last = true;
        auto file = records::FileReader::open(path_of(s), interpreter_hooks());
        if (!file) return input_error(std::move(file).error());
        whole.length = file.value()->size();
        return std::vector<records::PartitionPlan>{whole};
    }
    GilRelease free;
    auto plan = records::plan_partitions(path_of(s), s.format, plan_rules(s), size, interpreter_hooks());
    free.hold();
    if (!plan) return input_error(std::move(plan).error());
    return std::move(plan).value();
}

PyResult number_or_none(bool known, std::uint64_t n) {
    if (!known) return PyRef::borrow(Py_None);
    PyRef v(PyLong_FromUnsignedLongLong(n));
    if (!v) return CallError::fetch();
    return v;
}

// What one worker found in one partition.
struct PartResult {
    std::uint64_t good = 0;
    std::uint64_t invalid = 0;
    std::uint64_t records_out = 0;  // records and broken records
    std::uint64_t lines = 0;        // JSONL: lines read
    std::vector<Error> errors;      // the first `keep` record errors, in order
    std::optional<Error> fatal;     // an error that ends the pass
    bool finished = false;          // set under the queue's mutex
};

// `int_digits`: the limit on integer digits in force when the pass began.
void validate_part(std::string_view path, const Settings& s, const records::PartitionPlan& part, std::size_t keep,
                   std::size_t int_digits, const std::atomic<bool>& stop, std::atomic<std::uint64_t>& done,
                   PartResult& out) {
    // No interpreter here: a worker thread never holds the GIL.
    records::StreamRules rules = plan_rules(s);
    rules.read.max_int_digits = int_digits;
    auto stream = records::open_partition(path, s.format, rules, part, {});
    if (!stream) {
        out.fatal = std::move(stream).error();
        return;
    }
    records::RecordStream& st = stream.value();
    std::uint64_t counted = 0;  // of this part's bytes, added to `done`
    while (!stop.load(std::memory_order_relaxed)) {
        std::uint64_t at = st.progress().value_or(counted);
        if (at > counted) done.fetch_add(at - counted, std::memory_order_relaxed), counted = at;
        auto slot = st.next_slot();
        if (!slot) {
            Error error = std::move(slot).error();
            if (!is_record_error(error.code)) {
                out.fatal = std::move(error);
                break;
            }
            // Unread bytes are told past the limit, and are no record.
            const bool lost = error.code == ErrorCode::StructureLost;
            if (!lost) ++out.invalid;
            if (lost || out.errors.size() < keep) out.errors.push_back(std::move(error));
            continue;
        }
        if (slot.value().kind == records::Slot::Kind::End) break;
        if (slot.value().kind != records::Slot::Kind::Record) continue;
        ++out.good;
        if (slot.value().record) st.recycle(std::move(*slot.value().record));
    }
    if (part.length > counted) done.fetch_add(part.length - counted, std::memory_order_relaxed);
    out.records_out = st.records_out() - part.resume.first_record;
    out.lines = st.lines_read();
}

}  // namespace

PyResult validate_parallel(Settings& s, std::optional<std::size_t> workers, Py_ssize_t keep, std::uint64_t part_size,
                           ProgressCall& progress, PyObject* found) {
    std::size_t threads = workers.value_or(qvtok::threads::allowed());
    if (threads <= 1 || !names_regular_file(s) || s.source.codec || s.part)
        return validate_sequential(s, keep, progress, found);
    auto file = records::FileReader::open(path_of(s), interpreter_hooks());
    if (!file) return input_error(std::move(file).error());
    const std::uint64_t total = file.value()->size();
    // A few partitions per thread even out their speeds; small ones would
    // only add planning.
    const std::uint64_t target =
        part_size != 0 ? part_size : std::max<std::uint64_t>(total / (threads * 4), 8u << 20);
    if (total <= target) return validate_sequential(s, keep, progress, found);

    const std::string path(path_of(s));
    auto int_digits = int_digit_limit();
    if (!int_digits) return std::move(int_digits).error();
    WorkQueue<PartResult> queue;
    // A top-level array is checked while the scan that cuts it goes on;
    // anything else is planned first.
    const bool pipelined = s.format == records::RecordFormat::Json && (!s.at || s.at->segments.empty());
    if (!pipelined) {
        GilRelease free;
        auto planned = records::plan_partitions(path, s.format, plan_rules(s), target, interpreter_hooks());
        free.hold();
        if (!planned) return input_error(std::move(planned).error());
        if (planned.value().size() <= 1) return validate_sequential(s, keep, progress, found);
        for (const records::PartitionPlan& part : planned.value()) queue.add(part);
        queue.finish(true);
    }

    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> done{0};
    ThreadGroup group;
    auto body = [&](std::size_t t) {
        if (pipelined && t == 0) {
            queue.plan_by_scan(path, target, stop);
            return;
        }
        const records::PartitionPlan* part;
        PartResult* result;
        while (queue.take(stop, part, result)) {
            validate_part(path, s, *part, static_cast<std::size_t>(keep), int_digits.value(), stop, done, *result);
            {
                std::lock_guard<std::mutex> lock(queue.mutex);
                result->finished = true;
            }
            group.wake();
        }
    };
    progress.set_total(total);
    if (auto told = progress.report(0); !told) return std::move(told).error();

    // The parts are taken in order as they are finished: positions and
    // record indexes that a part counted from its own start move by what the
    // parts before it held, and its errors are handed to `found` then.
    PyRef errors(PyList_New(0));
    if (!errors) return CallError::fetch();
    std::uint64_t good = 0, invalid = 0, lines_before = 0, records_before = 0;
    std::size_t taken = 0;
    std::optional<CallError> ended;  // the failure of a part taken
    auto take_finished = [&]() -> Expected<Done, CallError> {
        for (;;) {
            PartResult* r;
            const records::PartitionPlan* part;
            {
                std::lock_guard<std::mutex> lock(queue.mutex);
                // A scan that cannot cut the file drops the parts it made, so
                // none is taken until the scan is through: the pass over the
                // whole must not tell their errors a second time.
                if (!queue.planned || queue.fell_back || ended || taken >= queue.results.size() ||
                    !queue.results[taken].finished)
                    return Done{};
                r = &queue.results[taken];
                part = &queue.parts[taken];
            }
            const bool relative = part->offset != 0 && !part->record_known;
            for (Error& e : r->errors) {
                if (relative) {
                    e.record += records_before;
                    if (e.file_line != 0) e.file_line += lines_before;
                }
                if (PyList_GET_SIZE(errors.get()) >= keep && e.code != ErrorCode::StructureLost) continue;
                auto exc = decode_error(e);
                if (!exc) return std::move(exc).error();
                if (PyList_Append(errors.get(), exc.value().get()) < 0) return CallError::fetch();
                if (found != nullptr) {
                    PyRef told(PyObject_CallOneArg(found, exc.value().get()));
                    if (!told) return CallError::fetch();
                }
            }
            good += r->good;
            invalid += r->invalid;
            if (r->fatal) {
                ended = input_error(std::move(*r->fatal));
                return Done{};
            }
            lines_before += r->lines;
            records_before += r->records_out;
            ++taken;
        }
    };
    // What the callables raise stops the run, with the exception pending.
    auto report = [&] {
        auto took = take_finished();
        if (!took) {
            std::move(took).error().raise();
            return false;
        }
        auto told = progress.poll([&] { return done.load(); }, nullptr);
        if (!told) {
            std::move(told).error().raise();
            return false;
        }
        return true;
    };
    if (!group.run(threads + (pipelined ? 1 : 0), stop, body, report, [&] { queue.wake_all(); }))
        return CallError::fetch();
    if (queue.failed) return input_error(std::move(*queue.failed));
    // The scan found fault with the file: one pass tells it as it should.
    if (queue.fell_back) return validate_sequential(s, keep, progress, found);
    if (auto rest = take_finished(); !rest) return std::move(rest).error();
    if (ended) return validation_report(good, invalid, errors.get(), std::move(*ended));
    if (auto told = progress.finish(total); !told) return std::move(told).error();
    return validation_report(good, invalid, errors.get());
}

PyResult partitions_of(Settings& s, PyObject* size_obj) {
    auto size = size_arg(size_obj);
    if (!size) return argument_error("size", std::move(size).error());
    auto plan = plan_of(s, size.value());
    if (!plan) return std::move(plan).error();
    PyRef module(PyImport_ImportModule("qvtok.partition"));
    if (!module) return CallError::fetch();
    PyRef cls(PyObject_GetAttrString(module.get(), "Partition"));
    if (!cls) return CallError::fetch();
    PyRef path(s.source.url ? PyRef::borrow(s.source.url.get())
                            : PyRef(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(s.source.encoded.get()),
                                                                      PyBytes_GET_SIZE(s.source.encoded.get()))));
    if (!path) return CallError::fetch();
    // What every partition shares is made once; each is made by a call with
    // its fields in the order Partition declares them, which a million small
    // partitions would otherwise pay for in keyword dicts.
    PyRef format(PyUnicode_FromString(s.format == records::RecordFormat::Json ? "json" : "jsonl"));
    PyRef at(s.at ? PyRef(PyUnicode_FromString(s.at->text.c_str())) : PyRef::borrow(Py_None));
    PyRef compression(s.source.codec ? PyRef(PyUnicode_FromString(codecs::codec_name(*s.source.codec)))
                                     : PyRef::borrow(Py_None));
    PyRef on_error(PyUnicode_FromString(s.skip ? "skip" : "raise"));
    PyRef max_depth(PyLong_FromUnsignedLong(s.max_depth));
    PyRef options = s.source.storage_options ? PyRef::borrow(s.source.storage_options.get()) : PyRef::borrow(Py_None);
    if (!format || !at || !compression || !on_error || !max_depth) return CallError::fetch();
    const std::vector<records::PartitionPlan>& parts = plan.value();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(parts.size())));
    if (!list) return CallError::fetch();
    // Nothing of the collector's to find among new partitions.
    GcPause pause;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        // Ctrl-C is heard between partitions, however many there are.
        if ((i & 4095) == 4095 && PyErr_CheckSignals() < 0) return CallError::fetch();
        const records::PartitionPlan& part = parts[i];
        const bool placed = part.resume.line != 0 || part.offset == 0;
        auto first = number_or_none(part.record_known, part.resume.first_record);
        auto line = number_or_none(placed, part.offset == 0 ? 1 : part.resume.line);
        auto column = number_or_none(placed, part.offset == 0 ? 1 : part.resume.column);
        PyRef offset(PyLong_FromUnsignedLongLong(part.offset));
        PyRef length(PyLong_FromUnsignedLongLong(part.length));
        if (!first || !line || !column || !offset || !length) return CallError::fetch();
        PyObject* fields[] = {path.get(),         offset.get(),        length.get(),
                              format.get(),       at.get(),            first.value().get(),
                              line.value().get(), column.value().get(), part.last ? Py_True : Py_False,
                              compression.get(),  on_error.get(),      max_depth.get(),
                              options.get()};
        PyObject* p = PyObject_Vectorcall(cls.get(), fields, std::size(fields), nullptr);
        if (p == nullptr) return CallError::fetch();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), p);
    }
    return list;
}

constexpr FunctionDescriptor kOpenPartitionArgs{"_open_partition",
                                                {"path", "format", "at", "offset", "length", "first_record", "line",
                                                 "column", "last", "on_error", "max_depth", "storage_options"},
                                                12,
                                                9};

PyResult open_partition_records(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind(kOpenPartitionArgs, args, nargs, kwnames);
    if (!bound) return std::move(bound).error();
    const BoundArgs& a = bound.value();
    PyObject* path = a[0];
    PyObject* format = a[1];
    PyObject* at = a[2];
    std::uint64_t numbers[5];  // offset, length, first_record, line, column
    for (std::size_t i = 0; i < 5; ++i) {
        auto n = arg_size(a[3 + i]);
        if (!n) return argument_error(kOpenPartitionArgs.params[3 + i].data(), std::move(n).error());
        numbers[i] = n.value();
    }
    const auto [offset, length, first, line, column] = numbers;
    const int last = PyObject_IsTrue(a[8]);
    if (last < 0) return CallError::fetch();
    PyObject* on_error = a[9];
    PyObject* max_depth = a[10];
    PyObject* storage_options = a[11];
    auto made = settings_from(at, on_error, max_depth);
    if (!made) return std::move(made).error();
    std::unique_ptr<Settings> settings = std::move(made).value();
    auto fmt = arg_text(format);
    if (!fmt) return argument_error("format", std::move(fmt).error());
    settings->format = fmt.value() == "jsonl" ? records::RecordFormat::Jsonl : records::RecordFormat::Json;
    if (is_url(path)) {
        if (auto made = url_source(path, storage_options, settings->source); !made) return std::move(made).error();
    } else {
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(path, &encoded)) return argument_error("path", CallError::fetch());
        settings->source.encoded = PyRef(encoded);
        settings->source.name = PyRef::borrow(path);
    }
    records::PartitionPlan part;
    part.offset = offset;
    part.length = length;
    part.last = last != 0;
    part.record_known = true;
    part.resume = records::Resume{offset, first, line, column,
                                  settings->format == records::RecordFormat::Json && offset != 0};
    settings->part = part;
    return new_records(std::move(settings));
}

}  // namespace qvtok::open
