// The compressed formats a byte source may arrive in, told apart by their
// first bytes, and the decoders and encoders that stream them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.hpp"

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

// Calls `take` with `in` cut into consecutive pieces of at most `most`
// (nonzero) bytes, none empty; stops at the first call that returns false,
// and returns false then.
template <class Take>
bool in_pieces(std::string_view in, std::size_t most, Take&& take) {
    while (!in.empty()) {
        const std::string_view piece = in.substr(0, most);
        if (!take(piece)) return false;
        in.remove_prefix(piece.size());
    }
    return true;
}

// One codec's streaming compressor, at the level its command-line tool uses
// by default. A library that fails says why: EncodeFailed, whose `detail`
// is the library's reason; one that runs out of memory throws
// std::bad_alloc.
class Encoder {
public:
    virtual ~Encoder() = default;
    // Appends to `out` the compressed form of `in`, as far as it can yet.
    // `in` may be of any size: the library is handed it in pieces that its
    // counters (32 bits in zlib and libbz2) can hold.
    Expected<Done> write(std::string_view in, std::string& out);
    // Appends the end of the stream.
    Expected<Done> finish(std::string& out);
    // From here on the library takes at most `n` bytes a call: for tests,
    // which cannot hand over 4 GiB.
    void limit_pieces(std::size_t n) { piece_ = n < piece_ ? n : piece_; }

protected:
    // `piece`: the most bytes one call of the library may take.
    Encoder(Codec codec, std::size_t piece) : codec_(codec), piece_(piece) {}
    // What the codec does: set up its stream (before anything else),
    // compress one piece of at most `piece` bytes, never empty, and end
    // the stream. Each returns nullptr, or the library's reason for
    // failing (static text).
    virtual const char* start() = 0;
    virtual const char* compress(std::string_view piece, std::string& out) = 0;
    virtual const char* end(std::string& out) = 0;

private:
    // Starts the stream the first time; false once the library has failed,
    // after which every call fails alike.
    bool ready();
    Expected<Done> outcome() const;

    Codec codec_;
    std::size_t piece_;
    bool started_ = false;
    const char* failure_ = nullptr;  // the library's reason, once it failed
};

// Nullptr when this build cannot read (or write) the codec: see
// codec_requirement.
std::unique_ptr<Decoder> make_decoder(Codec codec);
std::unique_ptr<Encoder> make_encoder(Codec codec);

// What to install for a codec this build cannot handle.
const char* codec_requirement(Codec codec);

// How many zero bytes of padding may stand between and after streams: a
// multiple of the result, which is 0 where none may (xz keeps its streams
// four-byte aligned, gzip takes any run).
std::size_t zero_padding_unit(Codec codec);

}  // namespace qvtok::codecs
