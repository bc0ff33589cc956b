// The factories each codec's file defines; nullptr where the build has no
// library for the codec.
#pragma once

#include <memory>

#include "core/codecs/codec.hpp"

namespace qvtok::codecs {

std::unique_ptr<Decoder> make_gzip_decoder();
std::unique_ptr<Encoder> make_gzip_encoder();
std::unique_ptr<Decoder> make_zstd_decoder();
std::unique_ptr<Encoder> make_zstd_encoder();
std::unique_ptr<Decoder> make_bzip2_decoder();
std::unique_ptr<Encoder> make_bzip2_encoder();
std::unique_ptr<Decoder> make_xz_decoder();
std::unique_ptr<Encoder> make_xz_encoder();

// Grows `out` by at least `want` bytes of room past its size, returning the
// first byte of that room; the caller shrinks it to what it wrote.
unsigned char* grow_for(std::string& out, std::size_t want);

}  // namespace qvtok::codecs
