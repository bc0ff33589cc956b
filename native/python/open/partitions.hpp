// Partitions of a file, for Records.partitions and the Partition objects it
// hands out.
#pragma once

#include "python/open/cursor.hpp"
#include "python/open/progress.hpp"

namespace qvtok::open {

// The path of a Records over a path, in the file-system encoding.
std::string_view path_of(const Settings& settings);
// Whether that path names a regular file, found without opening it:
// opening a named pipe a second time would wait for a writer that may be
// gone. Only such a file can be cut into partitions.
bool names_regular_file(const Settings& settings);
// The rules of a stream that checks the records of a partition.
records::StreamRules plan_rules(const Settings& settings);

// Records.partitions(size): a list of qvtok.partition.Partition.
PyResult partitions_of(Settings& settings, PyObject* size);

// _open_partition(path, format, at, offset, length, first_record, line,
// column, last, on_error="raise"): the Records of one partition.
PyResult open_partition_records(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// (good records, invalid records, the first `keep` errors) of every record,
// on `workers` threads (the cores the process may run on when not given) where the file
// can be cut, else in one pass.
// `part_size` 0 lets it choose the size of the partitions. `progress` is
// told of the bytes done as the pass goes. `found`, a callable or NULL, is
// called with each error kept, in file order, as soon as the records
// before it are all checked: a report can be printed as it grows.
PyResult validate_parallel(Settings& settings, std::optional<std::size_t> workers, Py_ssize_t keep,
                           std::uint64_t part_size, ProgressCall& progress, PyObject* found = nullptr);
// The same in one pass on the calling thread.
PyResult validate_sequential(Settings& settings, Py_ssize_t keep, ProgressCall& progress, PyObject* found = nullptr);
// What both return: (good, invalid, errors, failure), where `errors`
// (borrowed) holds what was found before the error that ended the pass, if
// one did: `failure` is then its exception, else None. The command line
// reports the same whether the file was cut or not.
PyResult validation_report(std::uint64_t good, std::uint64_t invalid, PyObject* errors,
                           std::optional<CallError> failure = std::nullopt);

// The settings that open() and a partition take alike from their `at`,
// `on_error` and `max_depth` arguments (borrowed; NULL or None when left
// out); the source is the caller's to fill in.
Expected<std::unique_ptr<Settings>, CallError> settings_from(PyObject* at, PyObject* on_error, PyObject* max_depth);

// A Records object over `settings`, which it takes.
PyResult new_records(std::unique_ptr<Settings> settings);

}  // namespace qvtok::open
