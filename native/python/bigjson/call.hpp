// What every bigjson operation does first: bind the arguments, convert them
// in parameter order and resolve the record format.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "python/binding.hpp"
#include "python/gil.hpp"
#include "core/records/format.hpp"

namespace qvtok::bigjson {

// How many records `schema` samples when the caller does not say.
inline constexpr std::uint64_t kDefaultSample = 100;

struct Call {
    PyRef encoded_path;     // the path in the file-system encoding (bytes)
    std::string_view path;  // view into encoded_path
    records::RecordFormat format;
    std::uint64_t sample;   // only for functions that take `sample`
    std::optional<records::RecordSource> source;  // the file, if detection kept it open
};

Expected<Call, CallError> prepare_call(const FunctionDescriptor& fn, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames);

// The operation's file: the one format detection kept open, or the path
// opened now with a read buffer of `buffer_size` bytes.
Expected<records::RecordSource, CallError> open_call_source(Call& call,
                                                   std::size_t buffer_size = records::RecordSource::kBufferSize);

// A core error of an operation, with a note naming the codec when the file's
// first bytes show it is compressed: these functions read bytes as they are.
CallError read_error(Error error, std::optional<codecs::Codec> first_bytes_codec);

}  // namespace qvtok::bigjson
