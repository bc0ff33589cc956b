// A byte reader that decompresses what another reads, stream after stream,
// in constant memory.
#pragma once

#include <memory>

#include "core/codecs/codec.hpp"
#include "core/records/source.hpp"

namespace qvtok::records {

// Fails with CodecUnavailable when this build cannot read `codec`. When
// `compressed` can be read off the interpreter's thread and is a regular
// file (so a read never waits on a writer), decompression runs ahead on a
// thread of its own, and `hooks` serve the waits for it.
Expected<std::unique_ptr<ByteReader>> decompressing_reader(std::unique_ptr<ByteReader> compressed,
                                                           codecs::Codec codec, InterpreterHooks hooks);

// The same, always on the caller's thread (for tests that compare the two).
Expected<std::unique_ptr<ByteReader>> inline_decompressing_reader(std::unique_ptr<ByteReader> compressed,
                                                                  codecs::Codec codec);

// Reads the first bytes of `reader` to tell its codec; the bytes read are
// handed back in `prefix`, to be read again before the rest.
Expected<std::optional<codecs::Codec>, IoError> sniff_codec(ByteReader& reader, std::string& prefix);

}  // namespace qvtok::records
