// qvtok.open: the records of a file, a file object or standard input, read
// one at a time, with values in document order and record errors raised as
// qvtok.JSONDecodeError.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "core/codecs/codec.hpp"
#include "core/records/partition.hpp"
#include "core/records/stream.hpp"
#include "python/binding.hpp"

namespace qvtok {

// Defined with the other error texts in errors.cpp.
// Creates qvtok.JSONDecodeError once for the process.
Expected<Done, CallError> make_decode_error_class();
// Borrowed; NULL before make_decode_error_class.
PyObject* decode_error_type();
// Borrowed; NULL before make_decode_error_class: its subclass for StructureLost.
PyObject* structure_lost_type();
// A new qvtok.JSONDecodeError describing a record error.
PyResult decode_error(const Error& error);
// Creates qvtok.CompressionError once for the process; borrowed after.
Expected<Done, CallError> make_compression_error_class();
PyObject* compression_error_type();

namespace open {

// Where a Records object reads from: a path, a URL, a binary file object,
// or standard input.
struct Source {
    PyRef name;     // the path or URL as the caller gave it, for OSError; NULL otherwise
    PyRef encoded;  // the path in the file-system encoding (bytes); NULL otherwise
    bool is_stdin = false;
    // Opened by open() (format detection may have read from it); the first
    // pass takes it.
    std::unique_ptr<records::ByteReader> pending;
    bool pending_size_known = false;
    // Borrowed: the file object that `pending` reads, held by it, for the
    // garbage collector to see. NULL for a path or standard input.
    PyObject* pending_file = nullptr;
    bool used = false;  // a file object or standard input has been read
    // How the bytes are compressed, as settled by open(): every pass over a
    // path decompresses the same way.
    std::optional<codecs::Codec> codec;
    // A URL (an exact str), read through fsspec with `storage_options` (a
    // dict or NULL), opened anew by each pass as a path is; NULL otherwise.
    PyRef url;
    PyRef storage_options;
    // The size fsspec told when open() opened the URL, where it did.
    std::optional<std::uint64_t> url_size;
};

struct Opened {
    std::unique_ptr<records::ByteReader> reader;
    bool size_known;
    // Borrowed: the file object `reader` reads, held by it; NULL for a
    // path or standard input. Goes wherever the reader goes.
    PyObject* file = nullptr;
};

// Whether `arg` (borrowed) is a str that starts with "scheme://": a URL,
// read through fsspec. A one-letter scheme is a Windows drive, and bytes
// and os.PathLike are always local paths.
bool is_url(PyObject* arg);

// Makes `out` the source of the URL `url` (a str for which is_url holds)
// with `storage_options` (a dict, or NULL or None for none; TypeError for
// anything else). Opens nothing.
Expected<Done, CallError> url_source(PyObject* url, PyObject* storage_options, Source& out);

// What a `compression` argument asks for.
struct CompressionChoice {
    bool detect;                         // "auto": by the first bytes, or a path's extension
    std::optional<codecs::Codec> codec;  // else this one, or none
};
// "auto" (also for NULL), None, or a codec's name; ValueError otherwise.
Expected<CompressionChoice, CallError> compression_word(PyObject* arg);

// Converts open()'s `source`, `format`, `compression` and `storage_options`
// (NULL when left out), opens the source and settles its codec and format.
// The arguments are borrowed.
Expected<records::RecordFormat, CallError> open_source(PyObject* arg, PyObject* format, PyObject* compression,
                                                       PyObject* storage_options, Source& out);

// The stream of one pass over `part` of the file or URL of `source`.
Expected<records::RecordStream, CallError> open_part_stream(Source& source, records::RecordFormat format,
                                                          const records::StreamRules& rules,
                                                          const records::PartitionPlan& part);

// The reader of one pass: the one open() made, else the path or URL opened
// anew.
// A file object or standard input gives only one pass.
Expected<Opened, CallError> take_reader(Source& source);

// ValueError, before anything is opened for writing, when `dest` (a path
// when `dest_is_path`, else a file object; borrowed) is the file the
// source reads, found by device and inode with links followed: writing it
// would empty or overwrite the input before it is read.
Expected<Done, CallError> refuse_own_input(const Source& source, PyObject* dest, bool dest_is_path);

// A failure that is no record's: OSError for the system's own, the pending
// exception for an interrupted read.
CallError input_error(Error error);

// Registers open, Records, RecordsIterator and JSONDecodeError on the module.
Expected<Done, CallError> register_open(PyObject* module);

}  // namespace open
}  // namespace qvtok
