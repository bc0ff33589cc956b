// The compressed formats a byte source may arrive in, told apart by their
// first bytes, and the decoders and encoders that stream them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qvtok::codecs {

enum class Codec : std::uint8_t { Gzip, Zstd, Bzip2, Xz };

inline constexpr Codec kAllCodecs[] = {Codec::Gzip, Codec::Zstd, Codec::Bzip2, Codec::Xz};

// "gzip", "zstd", "bzip2", "xz".
const char* codec_name(Codec codec);
std::optional<Codec> codec_by_name(std::string_view name);

// The most bytes codec_by_magic looks at.
inline constexpr std::size_t kMagicBytes = 6;

// The codec whose stream (or member, or frame) starts with `head`; nothing
// when `head` is too short to tell or starts no compressed stream.
std::optional<Codec> codec_by_magic(std::string_view head);

// The codec a file name's last extension names (.gz, .zst, .bz2, .xz, in any
// case), and the name with that extension taken off.
std::optional<Codec> codec_by_extension(std::string_view name);
std::string_view strip_codec_extension(std::string_view name);

// What one call of a decoder did.
struct DecodeStep {
    enum class State : std::uint8_t {
        Going,        // more input or output room is needed
        EndOfStream,  // one stream (member, frame) ended: the next may follow
        Corrupt,      // the input is not a valid stream; `detail` says why
    };
    std::size_t consumed = 0;
    std::size_t produced = 0;
    State state = State::Going;
    const char* detail = nullptr;  // static text
};

// One codec's streaming decompressor. Failed allocations throw
// std::bad_alloc.
class Decoder {
public:
    virtual ~Decoder() = default;
    // Decodes from `in` into `out`; a stream that ends stops the step there.
    virtual DecodeStep step(const unsigned char* in, std::size_t in_len, unsigned char* out,
                            std::size_t out_len) = 0;
    // Makes ready for the next stream after EndOfStream.
    virtual void restart() = 0;
};

// One codec's streaming compressor, at the level its command-line tool uses
// by default.
class Encoder {
public:
    virtual ~Encoder() = default;
    // Appends to `out` the compressed form of `in`, as far as it can yet.
    virtual void write(std::string_view in, std::string& out) = 0;
    // Appends the end of the stream.
    virtual void finish(std::string& out) = 0;
};

// Nullptr when this build cannot read (or write) the codec: see
// codec_requirement.
std::unique_ptr<Decoder> make_decoder(Codec codec);
std::unique_ptr<Encoder> make_encoder(Codec codec);

// What to install for a codec this build cannot handle.
const char* codec_requirement(Codec codec);

// Whether padding of zero bytes may stand between and after streams.
bool allows_zero_padding(Codec codec);

}  // namespace qvtok::codecs
