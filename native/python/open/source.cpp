// The sources of qvtok.open: paths, URLs, standard input and Python file
// objects.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <utility>

#include "core/records/decompress.hpp"
#include "python/gil.hpp"
#include "python/open/open.hpp"
#include "python/messages.hpp"
#include "python/open/text.hpp"

namespace qvtok::open {
namespace {

constexpr const char* kReadOnce =
    "this Records reads a file object or standard input, which can be read only once";
constexpr const char* kNotBinary = "the file object must be opened in binary mode: read() returned str";
constexpr const char* kNoData = "the file object returned None: non-blocking reads are not supported";
constexpr const char* kTooMuch = "the file object returned more bytes than asked for";
constexpr const char* kSourceType = "source must be a path (str, bytes, os.PathLike), \"-\" or a binary file object";
constexpr const char* kReadStopped = "the file object's read() raised StopIteration";
constexpr const char* kReadintoStopped = "the file object's readinto() raised StopIteration";
constexpr const char* kOwnInput =
    "the destination %U is the same file as the input %U: writing it would destroy the input";
constexpr const char* kStdinName = "standard input";
constexpr const char* kOptionsNoUrl =
    "storage_options is for a URL such as \"s3://bucket/key\"; this source is read as a local path or file object";
constexpr const char* kOptionsType = "storage_options must be a dict or None";
constexpr const char* kUrlSize = "the URL's file object has no valid size";

// The pending exception as OSError(errno, strerror, filename), the class
// chosen by errno as open() chooses it.
CallError os_error(int code, PyObject* filename) {
    errno = code;
    if (filename != nullptr)
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    else
        PyErr_SetFromErrno(PyExc_OSError);
    return CallError::fetch();
}

// A Python binary file object, read with the GIL held: readinto into the
// buffer where the object has it, else read. A Python exception ends the
// read as "interrupted", with the exception left pending for the caller.
class PyFileReader final : public records::ByteReader {
public:
    PyFileReader(PyRef file, bool readinto, std::uint64_t size)
        : file_(std::move(file)), readinto_(readinto), size_(size) {}

    Expected<std::size_t, records::IoError> read(char* dst, std::size_t n) override {
        auto got = readinto_ ? read_into(dst, n) : read_copy(dst, n);
        if (!got) return records::IoError::interrupted();
        return got.value();
    }
    std::uint64_t size() const override { return size_; }

private:
    // nullopt with an exception pending.
    // Into a bytearray of our own, then copied: a view of the buffer that
    // the object keeps after the call (memoryview(b) stored away) then pins
    // that bytearray instead of pointing into memory we free.
    std::optional<std::size_t> read_into(char* dst, std::size_t n) {
        if (!buffer_ || static_cast<std::size_t>(PyByteArray_GET_SIZE(buffer_.get())) != n) {
            buffer_ = PyRef(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
            if (!buffer_) return std::nullopt;
        }
        PyRef got(PyObject_CallMethod(file_.get(), "readinto", "O", buffer_.get()));
        if (!got) return failed_call(kReadintoStopped);
        auto count = checked_count(got.get(), n);
        // Resized by the callee: what it holds is not what it reported.
        if (count && static_cast<std::size_t>(PyByteArray_GET_SIZE(buffer_.get())) < *count)
            return fail(PyExc_ValueError, kTooMuch);
        if (count) std::memcpy(dst, PyByteArray_AS_STRING(buffer_.get()), *count);
        return count;
    }

    std::optional<std::size_t> read_copy(char* dst, std::size_t n) {
        PyRef got(PyObject_CallMethod(file_.get(), "read", "n", static_cast<Py_ssize_t>(n)));
        if (!got) return failed_call(kReadStopped);
        if (got.get() == Py_None) return fail(PyExc_BlockingIOError, kNoData);
        if (PyUnicode_Check(got.get())) return fail(PyExc_TypeError, kNotBinary);
        Py_buffer buffer;
        if (PyObject_GetBuffer(got.get(), &buffer, PyBUF_SIMPLE) < 0) return std::nullopt;
        std::size_t len = static_cast<std::size_t>(buffer.len);
        if (len <= n) std::memcpy(dst, buffer.buf, len);
        PyBuffer_Release(&buffer);
        if (len > n) return fail(PyExc_ValueError, kTooMuch);
        return len;
    }

    std::optional<std::size_t> checked_count(PyObject* got, std::size_t n) {
        if (got == Py_None) return fail(PyExc_BlockingIOError, kNoData);
        Py_ssize_t count = PyLong_AsSsize_t(got);
        if (count == -1 && PyErr_Occurred()) return std::nullopt;
        if (count < 0 || static_cast<std::size_t>(count) > n) return fail(PyExc_ValueError, kTooMuch);
        return static_cast<std::size_t>(count);
    }

    // The pending exception of a failed read() or readinto(). A
    // StopIteration (an adapter over a spent chunk iterator raises one)
    // becomes a RuntimeError caused by it, as in a generator: raised as
    // itself out of __next__ it would read as the end of the records.
    static std::optional<std::size_t> failed_call(const char* stopped) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return std::nullopt;
        PyObject* cause = compat::take_raised_exception();
        PyErr_SetString(PyExc_RuntimeError, stopped);
        PyObject* error = compat::take_raised_exception();
        PyException_SetContext(error, Py_NewRef(cause));
        PyException_SetCause(error, cause);  // steals
        compat::restore_raised_exception(error);
        return std::nullopt;
    }

    static std::optional<std::size_t> fail(PyObject* cls, const char* text) {
        PyErr_SetString(cls, text);
        return std::nullopt;
    }

    PyRef file_;
    PyRef buffer_;  // readinto's bytearray
    bool readinto_;
    std::uint64_t size_;
};

// Opens `path` for reading; a directory fails with EISDIR here, before any
// read.
Expected<Opened, CallError> open_path(PyObject* name, const char* path) {
    int fd;
    int code = 0;
    Py_BEGIN_ALLOW_THREADS
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) code = errno;
    Py_END_ALLOW_THREADS
    if (fd < 0) return os_error(code, name);
    struct stat st;
    if (::fstat(fd, &st) != 0) code = errno;
    else if (S_ISDIR(st.st_mode)) code = EISDIR;
    if (code != 0) {
        ::close(fd);
        return os_error(code, name);
    }
    return Opened{std::make_unique<records::FileReader>(fd, interpreter_hooks()), S_ISREG(st.st_mode) != 0};
}

// Standard input through a descriptor of our own, so that closing the
// reader leaves fd 0 open.
Expected<Opened, CallError> open_stdin() {
    int fd = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return os_error(errno, nullptr);
    struct stat st;
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::lseek(fd, 0, SEEK_CUR) == 0;
    return Opened{std::make_unique<records::FileReader>(fd, interpreter_hooks()), regular};
}

// The bytes left in a file object, when it is a plain file on disk
// (io.FileIO, or io.BufferedReader over one); nullopt when unknown.
std::optional<std::uint64_t> file_object_size(PyObject* file) {
    PyRef io(PyImport_ImportModule("io"));
    if (!io) return std::nullopt;
    PyRef file_io(PyObject_GetAttrString(io.get(), "FileIO"));
    PyRef buffered(PyObject_GetAttrString(io.get(), "BufferedReader"));
    if (!file_io || !buffered) return std::nullopt;
    PyObject* raw_type = reinterpret_cast<PyObject*>(Py_TYPE(file));
    bool plain = raw_type == file_io.get();
    if (raw_type == buffered.get()) {
        PyRef raw(PyObject_GetAttrString(file, "raw"));
        plain = raw && reinterpret_cast<PyObject*>(Py_TYPE(raw.get())) == file_io.get();
    }
    if (!plain) return std::nullopt;
    PyRef fileno(PyObject_CallMethod(file, "fileno", nullptr));
    PyRef tell(PyObject_CallMethod(file, "tell", nullptr));
    if (!fileno || !tell) return std::nullopt;
    long fd = PyLong_AsLong(fileno.get());
    long long at = PyLong_AsLongLong(tell.get());
    struct stat st;
    if (PyErr_Occurred() || fd < 0 || at < 0 || ::fstat(static_cast<int>(fd), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return st.st_size > at ? static_cast<std::uint64_t>(st.st_size - at) : 0;
}

}  // namespace

bool is_url(PyObject* arg) {
    if (!PyUnicode_Check(arg)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(arg);
    auto ascii_letter = [](Py_UCS4 c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    Py_ssize_t i = 0;
    for (; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(arg, i);
        bool fits = ascii_letter(c) || (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
        if (!fits) break;
    }
    return i >= 2 && i + 2 < n && PyUnicode_READ_CHAR(arg, i) == ':' && PyUnicode_READ_CHAR(arg, i + 1) == '/' &&
           PyUnicode_READ_CHAR(arg, i + 2) == '/';
}

Expected<Done, CallError> url_source(PyObject* url, PyObject* storage_options, Source& out) {
    if (storage_options == Py_None) storage_options = nullptr;
    if (storage_options != nullptr && !PyDict_Check(storage_options))
        return CallError::deferred(PyExc_TypeError, kOptionsType);
    // An exact str: a subclass could hold the Records in its attributes.
    out.url = PyRef(PyUnicode_FromObject(url));
    if (!out.url) return CallError::fetch();
    out.name = PyRef::borrow(out.url.get());
    if (storage_options != nullptr) {
        out.storage_options = PyRef(PyDict_Copy(storage_options));
        if (!out.storage_options) return CallError::fetch();
    }
    return Done{};
}

namespace {

// A pass over the URL of `source`: qvtok._remote's file object, which maps
// what fails to an OSError naming the URL and never ends early in silence.
// With `part`, only its bytes.
Expected<Opened, CallError> open_url(Source& source, const records::PartitionPlan* part = nullptr) {
    PyRef module(PyImport_ImportModule("qvtok._remote"));
    if (!module) return CallError::fetch();
    PyObject* options = source.storage_options ? source.storage_options.get() : Py_None;
    PyRef file(part == nullptr
                   ? PyObject_CallMethod(module.get(), "open_url", "OO", source.url.get(), options)
                   : PyObject_CallMethod(module.get(), "open_url", "OOKK", source.url.get(), options,
                                         static_cast<unsigned long long>(part->offset),
                                         static_cast<unsigned long long>(part->length)));
    if (!file) return CallError::fetch();
    PyRef size(PyObject_GetAttrString(file.get(), "size"));
    if (!size) return CallError::fetch();
    std::optional<std::uint64_t> known;
    if (size.get() != Py_None) {
        unsigned long long n = PyLong_AsUnsignedLongLong(size.get());
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred())
            return CallError::deferred(PyExc_ValueError, kUrlSize);
        known = n;
    }
    if (part == nullptr) source.url_size = known;
    PyObject* borrowed = file.get();
    return Opened{std::make_unique<PyFileReader>(std::move(file), false, known.value_or(0)), known.has_value(),
                  borrowed};
}

// Whether `obj` has attribute `name`; -1 with an exception pending.
int has_attr(PyObject* obj, const char* name) {
    PyRef attr(PyObject_GetAttrString(obj, name));
    if (attr) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// A file whose data writing would replace, a regular file or a disk,
// known by device and inode. A terminal, a pipe or /dev/null read and
// written at once loses nothing, and has no such identity.
struct FileId {
    dev_t device;
    ino_t inode;
    bool operator==(const FileId& o) const { return device == o.device && inode == o.inode; }
};

std::optional<FileId> id_of(const struct stat& st) {
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return std::nullopt;
    return FileId{st.st_dev, st.st_ino};
}

// The file at a path (links followed); nullopt where there is none.
std::optional<FileId> id_of_path(const char* path) {
    struct stat st;
    if (::stat(path, &st) != 0) return std::nullopt;
    return id_of(st);
}

// The file behind a file object's fileno(); nullopt where it has none (an
// in-memory stream, a closed file). Other exceptions are raised.
Expected<std::optional<FileId>, CallError> id_of_file_object(PyObject* file) {
    PyRef fileno(PyObject_CallMethod(file, "fileno", nullptr));
    if (!fileno) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return CallError::fetch();
        PyErr_Clear();
        return std::optional<FileId>();
    }
    long fd = PyLong_AsLong(fileno.get());
    if (fd == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::optional<FileId>();
    }
    struct stat st;
    if (fd < 0 || fd > INT_MAX || ::fstat(static_cast<int>(fd), &st) != 0) return std::optional<FileId>();
    return id_of(st);
}

// repr(obj), for a path (str, bytes or os.PathLike) that of its text.
PyResult quoted(PyObject* obj, bool is_path) {
    PyRef shown = is_path ? PyRef(PyOS_FSPath(obj)) : PyRef::borrow(obj);
    if (!shown) return CallError::fetch();
    PyRef text(PyObject_Repr(shown.get()));
    if (!text) return CallError::fetch();
    return text;
}

Expected<std::optional<records::RecordFormat>, CallError> format_word(PyObject* format) {
    using records::RecordFormat;
    if (format == nullptr || format == Py_None) return std::optional<RecordFormat>();
    auto text = arg_text(format);
    if (!text) return argument_error("format", std::move(text).error());
    std::string word;
    for (char c : text.value()) word += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    if (word == "auto") return std::optional<RecordFormat>();
    if (word == "json") return std::optional<RecordFormat>(RecordFormat::Json);
    if (word == "jsonl" || word == "ndjson") return std::optional<RecordFormat>(RecordFormat::Jsonl);
    Error error = Error::of(ErrorCode::UnknownFormat);
    error.subject = word;
    return CallError::from(std::move(error));
}

// Puts a decompressor in front of `opened`, where it is compressed.
Expected<Done, CallError> decompress(Opened& opened, std::optional<codecs::Codec> codec) {
    if (!codec) return Done{};
    auto reader = records::decompressing_reader(std::move(opened.reader), *codec, interpreter_hooks());
    if (!reader) return CallError::from(std::move(reader).error());
    opened.reader = std::move(reader).value();
    return Done{};
}

}  // namespace

Expected<CompressionChoice, CallError> compression_word(PyObject* arg) {
    if (arg == nullptr) return CompressionChoice{true, std::nullopt};
    if (arg == Py_None) return CompressionChoice{false, std::nullopt};
    if (PyUnicode_Check(arg)) {
        const char* text = PyUnicode_AsUTF8(arg);
        if (text == nullptr) return CallError::fetch();
        if (std::string_view(text) == "auto") return CompressionChoice{true, std::nullopt};
        if (auto codec = codecs::codec_by_name(text)) return CompressionChoice{false, codec};
    }
    return CallError::deferred(PyExc_ValueError, msg::kCompression);
}

CallError input_error(Error error) {
    if (error.code == ErrorCode::ReadFailed) return os_error(error.os_code, nullptr);
    return CallError::from(std::move(error));
}

Expected<records::RecordFormat, CallError> open_source(PyObject* arg, PyObject* format, PyObject* compression,
                                                       PyObject* storage_options, Source& out) {
    auto chosen = format_word(format);
    if (!chosen) return std::move(chosen).error();
    auto packing = compression_word(compression);
    if (!packing) return std::move(packing).error();
    const bool url = is_url(arg);
    if (storage_options == Py_None) storage_options = nullptr;
    if (storage_options != nullptr) {
        if (!PyDict_Check(storage_options)) return CallError::deferred(PyExc_TypeError, kOptionsType);
        if (!url) return CallError::deferred(PyExc_ValueError, kOptionsNoUrl);
    }

    Opened opened;
    bool is_path = PyUnicode_Check(arg) || PyBytes_Check(arg);
    if (!is_path) {
        int fspath = has_attr(reinterpret_cast<PyObject*>(Py_TYPE(arg)), "__fspath__");
        if (fspath < 0) return CallError::fetch();
        is_path = fspath == 1;
    }
    if (url) {
        if (auto made = url_source(arg, storage_options, out); !made) return std::move(made).error();
        auto got = open_url(out);
        if (!got) return std::move(got).error();
        opened = std::move(got).value();
    } else if (PyUnicode_Check(arg) && PyUnicode_CompareWithASCIIString(arg, "-") == 0) {
        auto got = open_stdin();
        if (!got) return std::move(got).error();
        opened = std::move(got).value();
        out.is_stdin = true;
    } else if (is_path) {
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(arg, &encoded)) return argument_error("source", CallError::fetch());
        out.encoded = PyRef(encoded);
        out.name = PyRef::borrow(arg);
        auto got = open_path(arg, PyBytes_AS_STRING(encoded));
        if (!got) return std::move(got).error();
        opened = std::move(got).value();
    } else {
        int readinto = has_attr(arg, "readinto");
        int read = readinto == 1 ? 1 : has_attr(arg, "read");
        if (readinto < 0 || read < 0) return CallError::fetch();
        if (read == 0) return CallError::deferred(PyExc_TypeError, kSourceType);
        auto size = file_object_size(arg);
        PyErr_Clear();  // whatever the size probe raised only means "unknown"
        opened = Opened{std::make_unique<PyFileReader>(PyRef::borrow(arg), readinto == 1, size.value_or(0)),
                        size.has_value(), arg};
    }

    out.codec = packing.value().codec;
    if (packing.value().detect) {
        std::string prefix;
        auto sniffed = records::sniff_codec(*opened.reader, prefix);
        if (!sniffed) return input_error(sniffed.error().to_error());
        out.codec = sniffed.value();
        opened.reader = std::make_unique<records::PrefixedReader>(std::move(prefix), std::move(opened.reader));
    }
    auto decompressed = decompress(opened, out.codec);
    if (!decompressed) return std::move(decompressed).error();

    std::optional<records::RecordFormat> resolved = chosen.value();
    if (!resolved && (out.encoded || out.url)) {
        std::string_view name;
        if (out.url) {
            // The URL's path, before any query or fragment.
            Py_ssize_t length = 0;
            const char* text = PyUnicode_AsUTF8AndSize(out.url.get(), &length);
            if (text == nullptr) return CallError::fetch();
            name = std::string_view(text, static_cast<std::size_t>(length));
            name = name.substr(0, name.find_first_of("?#"));
        } else {
            name = std::string_view(PyBytes_AS_STRING(out.encoded.get()),
                                    static_cast<std::size_t>(PyBytes_GET_SIZE(out.encoded.get())));
        }
        // data.jsonl.gz is JSONL, whatever compressed it.
        resolved = format_by_name(out.codec ? codecs::strip_codec_extension(name) : name);
    }
    if (!resolved) {
        std::string prefix;
        auto sniffed = sniff_format(*opened.reader, prefix);
        if (!sniffed) return input_error(sniffed.error().to_error());
        resolved = sniffed.value();
        opened.reader = std::make_unique<records::PrefixedReader>(std::move(prefix), std::move(opened.reader));
    }
    out.pending = std::move(opened.reader);
    out.pending_size_known = opened.size_known;
    out.pending_file = opened.file;
    return *resolved;
}

Expected<Done, CallError> refuse_own_input(const Source& source, PyObject* dest, bool dest_is_path) {
    std::optional<FileId> input;
    if (source.encoded) {
        input = id_of_path(PyBytes_AS_STRING(source.encoded.get()));
    } else if (source.is_stdin) {
        struct stat st;
        if (::fstat(0, &st) == 0) input = id_of(st);
    } else if (source.pending_file != nullptr) {
        auto id = id_of_file_object(source.pending_file);
        if (!id) return std::move(id).error();
        input = id.value();
    }
    if (!input) return Done{};

    std::optional<FileId> output;
    if (dest_is_path) {
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(dest, &encoded)) return CallError::fetch();
        PyRef bytes(encoded);
        output = id_of_path(PyBytes_AS_STRING(encoded));
    } else {
        auto id = id_of_file_object(dest);
        if (!id) return std::move(id).error();
        output = id.value();
    }
    if (!output || !(*output == *input)) return Done{};

    auto dest_name = quoted(dest, dest_is_path);
    if (!dest_name) return std::move(dest_name).error();
    PyRef input_name;
    if (source.is_stdin) {
        input_name = PyRef(PyUnicode_FromString(kStdinName));
        if (!input_name) return CallError::fetch();
    } else {
        // The path as given, or its bytes once the collector let go of it.
        PyObject* shown = source.name ? source.name.get() : source.encoded.get();
        auto named = quoted(shown ? shown : source.pending_file, shown != nullptr);
        if (!named) return std::move(named).error();
        input_name = std::move(named).value();
    }
    PyErr_Format(PyExc_ValueError, kOwnInput, dest_name.value().get(), input_name.get());
    return CallError::fetch();
}

Expected<records::RecordStream, CallError> open_part_stream(Source& source, records::RecordFormat format,
                                                          const records::StreamRules& rules,
                                                          const records::PartitionPlan& part) {
    if (!source.url) {
        auto stream = records::open_partition(
            std::string_view(PyBytes_AS_STRING(source.encoded.get()),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(source.encoded.get()))),
            format, rules, part, interpreter_hooks());
        if (!stream) return input_error(std::move(stream).error());
        return std::move(stream).value();
    }
    // The URL's bytes of the part, taken up as a file's part is.
    auto opened = open_url(source, &part);
    if (!opened) return std::move(opened).error();
    return records::part_stream(std::move(opened.value().reader), format, rules, part, interpreter_hooks());
}

Expected<Opened, CallError> take_reader(Source& source) {
    if (source.pending) {
        source.used = true;
        return Opened{std::move(source.pending), source.pending_size_known,
                      std::exchange(source.pending_file, nullptr)};
    }
    if (!source.encoded && !source.url) return CallError::deferred(PyExc_ValueError, kReadOnce);
    auto opened = source.url ? open_url(source)
                             : open_path(source.name.get(), PyBytes_AS_STRING(source.encoded.get()));
    if (!opened) return opened;
    auto decompressed = decompress(opened.value(), source.codec);
    if (!decompressed) return std::move(decompressed).error();
    return opened;
}

}  // namespace qvtok::open
