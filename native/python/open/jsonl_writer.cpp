// Records.to_jsonl. A file that can be cut is compacted a partition at a
// time on threads, the parts written in order as they come; anything else,
// and any file whose parts do not all read whole, goes through one pass.
#include "python/open/jsonl_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "core/threads/budget.hpp"
#include "python/open/part_threads.hpp"
#include "python/open/partitions.hpp"

namespace qvtok::open {
namespace {

constexpr const char* kUrlDestination =
    "to_jsonl writes a local path or a binary file object, not the URL %R: pass the file object that "
    "fsspec.open(url, \"wb\") opens";

constexpr std::size_t kWriteChunk = 1 << 16;
// Compressed between two looks for signals: some 20 ms of bzip2's time.
constexpr std::size_t kCompressPiece = 1 << 17;
// Parts compacted on threads: small, so that the few held back to be
// written in order stay within a few MiB, yet large beside the cost of
// opening one.
constexpr std::uint64_t kPartSize = 4u << 20;

// Writes all of `bytes` with dest.write, which may take only part of it.
Expected<Done, CallError> write_all(PyObject* write, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        PyRef chunk(PyBytes_FromStringAndSize(bytes.data() + done, static_cast<Py_ssize_t>(bytes.size() - done)));
        if (!chunk) return CallError::fetch();
        PyRef wrote(PyObject_CallOneArg(write, chunk.get()));
        if (!wrote) return CallError::fetch();
        if (wrote.get() == Py_None) break;  // a writer that does not count takes it all
        Py_ssize_t n = PyLong_AsSsize_t(wrote.get());
        if (n == -1 && PyErr_Occurred()) return CallError::fetch();
        if (n <= 0) return CallError::deferred(PyExc_OSError, "the destination accepted no bytes");
        done += static_cast<std::size_t>(n);
    }
    return Done{};
}

// Ends the sink after a failure; the failure is what is raised.
CallError finish_after(Sink& sink, CallError failure) {
    (void)sink.finish(nullptr);
    return failure;
}

// One pass over every record, in which the first `passed` records, already
// written from parts, are read but not written again.
Expected<std::uint64_t, CallError> write_in_one_pass(Settings& settings, Sink& sink, std::uint64_t passed,
                                                     ProgressCall& progress) {
    // Checked by the stream's reader, so that a broken record is placed in
    // the file like any other; the reader compacts each good record straight
    // onto the output, and a broken one leaves it as it was.
    std::string out;
    records::StreamRules rules = Cursor::rules(records::Output::Compact);
    rules.compact_to = &out;
    auto cursor = Cursor::start(settings, rules);
    if (!cursor) return std::move(cursor).error();
    Cursor& c = *cursor.value();
    if (c.size_known) progress.set_total(c.stream.total_bytes());
    if (auto told = progress.report(0); !told) return std::move(told).error();
    GilRelease free(c.may_release());
    c.free = &free;
    std::uint64_t written = passed;
    std::uint64_t seen = 0;
    for (;;) {
        const std::size_t mark = out.size();
        auto slot = c.next();
        if (!slot) {
            // The records before a broken one are written before it is raised,
            // and a compressed file is ended so that they can be read.
            auto done = sink.put(out, nullptr);
            if (done) done = sink.finish(nullptr);
            if (!done) return std::move(done).error();
            return std::move(slot).error();
        }
        if (!slot.value()) break;
        if (seen++ < passed) {
            out.resize(mark);
            continue;
        }
        out += '\n';
        ++written;
        if (out.size() >= kWriteChunk) {
            auto done = sink.put(out, &free);
            if (!done) return std::move(done).error();
            out.clear();
            auto told = progress.poll([&] { return c.bytes_done(); }, &free);
            if (!told) return std::move(told).error();
        }
    }
    auto done = sink.put(out, &free);
    if (done) done = sink.finish(&free);
    free.hold();
    c.free = nullptr;
    if (!done) return std::move(done).error();
    if (auto told = progress.finish(c.bytes_done()); !told) return std::move(told).error();
    return written;
}

// One part's lines, compacted by a worker.
struct CompactedPart {
    std::string text;
    std::uint64_t records = 0;
    bool finished = false;
    // Every record of the part is in `text`. Else the part met a broken
    // record (when errors are raised) or a failure: the pass over the whole
    // tells it as it should be told.
    bool whole = false;
};

void compact_part(std::string_view path, const Settings& s, const records::PartitionPlan& part,
                  const std::atomic<bool>& stop, CompactedPart& out) {
    // No interpreter here: a worker thread never holds the GIL.
    records::StreamRules rules = plan_rules(s);
    rules.output = records::Output::Compact;
    rules.compact_to = &out.text;
    auto stream = records::open_partition(path, s.format, rules, part, {});
    if (!stream) return;
    records::RecordStream& st = stream.value();
    while (!stop.load(std::memory_order_relaxed)) {
        auto slot = st.next_slot();
        if (!slot) {
            if (s.skip && is_record_error(slot.error().code)) continue;
            return;
        }
        switch (slot.value().kind) {
            case records::Slot::Kind::End: out.whole = true; return;
            case records::Slot::Kind::Blank: continue;
            case records::Slot::Kind::Record: break;
        }
        out.text += '\n';
        ++out.records;
        if (slot.value().record) st.recycle(std::move(*slot.value().record));
    }
}

// Whether the records of `s` are cut into parts for threads: a plain file
// of JSON Lines, or one whose records are the elements of its top-level
// array (a pointer would have to be followed through the whole file first,
// which costs what the threads save), large enough to pay for them.
bool worth_cutting(const Settings& s, std::uint64_t size, std::size_t threads, std::uint64_t part_size) {
    if (threads <= 1 || s.source.codec || s.part) return false;
    if (s.format == records::RecordFormat::Json && s.at && !s.at->segments.empty()) return false;
    return part_size != 0 ? size > part_size : size > 4 * kPartSize;
}

// Writes the parts of the file in order as threads compact them. True when
// every record was written; false when the file could not be cut, or a part
// did not read whole, and the records after the first `written` are left
// for one pass to write.
Expected<bool, CallError> write_parts(Settings& s, Sink& sink, std::size_t threads, std::uint64_t part_size,
                                      std::uint64_t& written, ProgressCall& progress) {
    const std::string path(path_of(s));
    WorkQueue<CompactedPart> queue;
    queue.window = threads + 2;
    // A top-level array is cut by a scan that runs beside the threads;
    // JSON Lines are cut at once.
    const bool pipelined = s.format == records::RecordFormat::Json;
    if (!pipelined) {
        GilRelease free;
        auto planned = records::plan_partitions(path, s.format, plan_rules(s), part_size, interpreter_hooks());
        free.hold();
        if (!planned) return input_error(std::move(planned).error());
        if (planned.value().size() <= 1) return false;
        for (const records::PartitionPlan& part : planned.value()) queue.add(part);
        queue.finish(true);
    }

    std::atomic<bool> stop{false};
    ThreadGroup group;
    std::vector<std::string> spare;  // the buffers of parts written, for parts to come
    auto body = [&](std::size_t t) {
        if (pipelined && t == 0) {
            queue.plan_by_scan(path, part_size, stop);
            group.wake();
            return;
        }
        const records::PartitionPlan* part;
        CompactedPart* result;
        while (queue.take(stop, part, result)) {
            {
                std::lock_guard<std::mutex> lock(queue.mutex);
                if (!spare.empty()) {
                    result->text = std::move(spare.back());
                    spare.pop_back();
                }
            }
            // Compacting never lengthens a record, and its line feed takes
            // the place of the comma or line feed after it.
            result->text.reserve(part->length + 1);
            compact_part(path, s, *part, stop, *result);
            {
                std::lock_guard<std::mutex> lock(queue.mutex);
                result->finished = true;
            }
            group.wake();
        }
    };
    std::size_t taken = 0;  // parts written
    std::uint64_t bytes_written = 0;  // of the input, in the parts written
    bool whole = true;      // so far every part was
    // Writes the parts that are done, in order, with the GIL held.
    auto write_done = [&] {
        while (whole) {
            CompactedPart* r;
            {
                std::lock_guard<std::mutex> lock(queue.mutex);
                if (taken >= queue.results.size() || !queue.results[taken].finished) break;
                r = &queue.results[taken];
            }
            if (!r->whole) {
                whole = false;
                stop = true;
                queue.wake_all();
                break;
            }
            {
                GilRelease free;  // compressing needs no interpreter
                auto done = sink.put(r->text, &free);
                if (!done) {
                    std::move(done).error().raise();
                    return false;
                }
            }
            written += r->records;
            {
                std::lock_guard<std::mutex> lock(queue.mutex);
                r->text.clear();
                spare.push_back(std::move(r->text));
                bytes_written += queue.parts[taken].length;
            }
            queue.consume(++taken);
        }
        auto told = progress.poll([&] { return bytes_written; }, nullptr);
        if (!told) {
            std::move(told).error().raise();
            return false;
        }
        return true;
    };
    const bool ran = group.run(threads + (pipelined ? 1 : 0), stop, body, write_done, [&] { queue.wake_all(); });
    if (!ran) return finish_after(sink, CallError::fetch());
    if (!write_done()) return finish_after(sink, CallError::fetch());
    if (!whole || queue.fell_back) return false;
    if (queue.failed) return finish_after(sink, input_error(std::move(*queue.failed)));
    auto done = sink.finish(nullptr);
    if (!done) return std::move(done).error();
    if (auto told = progress.finish(bytes_written); !told) return std::move(told).error();
    return true;
}

}  // namespace

Expected<Done, CallError> Sink::put(std::string_view text, GilRelease* free) {
    if (!encoder_) return write_out(text, free);
    // A part written from a thread is some MiB, which bzip2 or xz take
    // most of a second to compress: it goes in pieces, with a look for
    // signals after each, so that Ctrl-C is not kept waiting.
    Expected<Done, CallError> done = Done{};
    codecs::in_pieces(text, kCompressPiece, [&](std::string_view piece) {
        if (!(done = compress(piece, free))) return false;
        if (piece.end() == text.end() || interpreter_hooks().poll() == 0) return true;
        if (free != nullptr) free->hold();
        done = CallError::fetch();
        return false;
    });
    return done;
}

Expected<Done, CallError> Sink::compress(std::string_view piece, GilRelease* free) {
    packed_.clear();
    auto packed = encoder_->write(piece, packed_);
    if (!packed) return encode_error(std::move(packed).error(), free);
    return write_out(packed_, free);
}

Expected<Done, CallError> Sink::finish(GilRelease* free) {
    if (!encoder_) return Done{};
    packed_.clear();
    auto packed = encoder_->finish(packed_);
    if (!packed) return encode_error(std::move(packed).error(), free);
    return write_out(packed_, free);
}

CallError Sink::encode_error(Error error, GilRelease* free) {
    if (free != nullptr) free->hold();
    return CallError::from(std::move(error));
}

namespace {

// A name beside `target` for the file written until it is complete,
// different at each try; hidden, as editors hide theirs.
std::string temporary_name(const std::string& target, unsigned attempt) {
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    const auto tick = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    char tag[64];
    std::snprintf(tag, sizeof tag, ".%ld.%llx.%u.tmp", static_cast<long>(::getpid()), tick, attempt);
    return dir + "." + base + tag;
}

// Opens `name` for writing with the GIL let go: a named pipe waits there
// for its reader.
int open_for_writing(const std::string& name, int flags) {
    GilRelease free;
    int fd;
    do fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

Expected<std::unique_ptr<Sink>, CallError> Sink::open_path(PyObject* path, std::unique_ptr<codecs::Encoder> encoder) {
    // Read as a URL, such a name would be written as a local path of the
    // same letters: the data would not be where the caller looks for it.
    if (is_url(path)) {
        PyErr_Format(PyExc_ValueError, kUrlDestination, path);
        return CallError::fetch();
    }
    PyRef name(PyOS_FSPath(path));  // str or bytes, as OSError names it
    if (!name) return CallError::fetch();
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(name.get(), &encoded)) return CallError::fetch();
    PyRef bytes(encoded);
    auto sink = std::unique_ptr<Sink>(new Sink(nullptr, std::move(encoder)));
    sink->target_.assign(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    sink->path_ = std::move(name);
    // A new file, or one that stands in the way of a regular file, is
    // written under another name and renamed over the path once complete:
    // a failure halfway leaves what was there before, or nothing. A pipe, a
    // device or a link is written in place, as it is.
    struct stat st;
    const bool found = ::lstat(sink->target_.c_str(), &st) == 0;
    const bool absent = !found && errno == ENOENT;
    if (absent || (found && S_ISREG(st.st_mode))) {
        for (unsigned attempt = 0; attempt < 100 && sink->fd_ < 0; ++attempt) {
            std::string temp = temporary_name(sink->target_, attempt);
            sink->fd_ = open_for_writing(temp, O_EXCL);
            if (sink->fd_ >= 0) sink->temp_ = std::move(temp);
            else if (errno != EEXIST) break;
        }
        // The file keeps its permissions; a new one has the umask's.
        if (sink->fd_ >= 0 && !absent) (void)::fchmod(sink->fd_, st.st_mode & 07777);
    }
    if (sink->fd_ < 0) {
        // A folder that takes no new file may still hold a writable one.
        sink->fd_ = open_for_writing(sink->target_, O_TRUNC);
        if (sink->fd_ < 0) {
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, sink->path_.get());
            return CallError::fetch();
        }
        sink->made_ = absent;
    }
    return sink;
}

Sink::~Sink() {
    if (fd_ >= 0) ::close(fd_);
    if (committed_) return;
    // Never completed: no partial output is left under any name.
    if (!temp_.empty()) ::unlink(temp_.c_str());
    else if (made_) ::unlink(target_.c_str());
}

Expected<Done, CallError> Sink::commit() {
    committed_ = true;
    if (temp_.empty()) return Done{};
    if (::rename(temp_.c_str(), target_.c_str()) == 0) {
        temp_.clear();
        return Done{};
    }
    const int error = errno;
    ::unlink(temp_.c_str());
    temp_.clear();
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_.get());
    return CallError::fetch();
}

Expected<Done, CallError> Sink::close() {
    if (fd_ < 0) return Done{};
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) == 0 || errno == EINTR) return Done{};
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_.get());
    return CallError::fetch();
}

Expected<Done, CallError> Sink::write_out(std::string_view bytes, GilRelease* free) {
    if (fd_ >= 0) {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                const int error = n < 0 ? errno : EIO;
                if (free != nullptr) free->hold();
                errno = error;
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_.get());
                return CallError::fetch();
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return Done{};
    }
    if (free != nullptr) free->hold();
    auto done = write_all(write_, bytes);
    if (done && free != nullptr) free->release();
    return done;
}

Expected<std::uint64_t, CallError> write_jsonl(Settings& settings, Sink& sink, std::uint64_t part_size,
                                               ProgressCall& progress) {
    std::uint64_t written = 0;
    const std::size_t threads = qvtok::threads::allowed();
    if (names_regular_file(settings)) {
        auto file = records::FileReader::open(path_of(settings), interpreter_hooks());
        if (!file) return input_error(std::move(file).error());
        if (worth_cutting(settings, file.value()->size(), threads, part_size)) {
            progress.set_total(file.value()->size());
            if (auto told = progress.report(0); !told) return std::move(told).error();
            auto all = write_parts(settings, sink, threads, part_size != 0 ? part_size : kPartSize, written, progress);
            if (!all) return std::move(all).error();
            if (all.value()) return written;
        }
    }
    return write_in_one_pass(settings, sink, written, progress);
}

}  // namespace qvtok::open
