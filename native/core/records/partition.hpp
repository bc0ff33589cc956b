// Byte ranges of one file that can be read apart, each by its own stream,
// and together give every record once, in order.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/records/stream.hpp"

namespace qvtok::records {

struct PartitionPlan {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    Resume resume;              // how a stream takes it up; resume.offset == offset
    bool record_known = false;  // resume.first_record is the index in the whole file
    bool last = false;          // reads on to the end of the file and checks it
};

// Cuts the file at `path` into parts of about `target` bytes, so that each
// record's first byte lies in exactly one. JSON Lines are cut at the first
// line start after each multiple of `target`, without reading the rest. A
// JSON array (the top-level one, or one that a pointer without "*" names)
// is scanned once, and cut at the element that starts after each multiple
// of `target`. Anything else, and any file whose structure the scan finds
// fault with, is one part, read as a whole. Fails with CannotOpen,
// ReadFailed or Interrupted.
Expected<std::vector<PartitionPlan>> plan_partitions(std::string_view path, RecordFormat format,
                                                      const StreamRules& rules, std::uint64_t target,
                                                      InterpreterHooks hooks);

// The parts of a top-level array as one scan finds them: `ready` gets each
// once its end is known, in order, and returns false to end the scan. False
// when it was ended so, or when the file is anything but one well-formed
// array whose elements start with plain bytes; plan_partitions then decides.
Expected<bool> scan_array_partitions(std::string_view path, std::uint64_t target, InterpreterHooks hooks,
                                     const std::function<bool(const PartitionPlan&)>& ready);
// The same over the `size` bytes that `file` reads from its start (a file
// at a URL, read once through).
Expected<bool> scan_array_partitions(ByteReader& file, std::uint64_t size, std::uint64_t target,
                                     InterpreterHooks hooks, const std::function<bool(const PartitionPlan&)>& ready);

// A stream over one part of the file at `path`. Fails with CannotOpen.
Expected<RecordStream> open_partition(std::string_view path, RecordFormat format, StreamRules rules,
                                      const PartitionPlan& part, InterpreterHooks hooks);
// The same over `reader`, which gives the part's bytes and no more: the
// records of a part wherever its bytes come from, placed in the whole.
RecordStream part_stream(std::unique_ptr<ByteReader> reader, RecordFormat format, StreamRules rules,
                         const PartitionPlan& part, InterpreterHooks hooks);

}  // namespace qvtok::records
