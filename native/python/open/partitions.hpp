// Partitions of a file, for Records.partitions and the Partition objects it
// hands out.
#pragma once

#include "python/open/cursor.hpp"

namespace qvtok::open {

// Records.partitions(size): a list of qvtok.partition.Partition.
PyResult partitions_of(Settings& settings, PyObject* size);

// _open_partition(path, format, at, offset, length, first_record, line,
// column, last): the Records of one partition.
PyResult open_partition_records(PyObject* args, PyObject* kwargs);

// A Records object over `settings`, which it takes.
PyResult new_records(std::unique_ptr<Settings> settings);

}  // namespace qvtok::open
