// Compressed input. The first byte picks the codec, the read size and where
// the payload is split; the rest is used as:
//   - a compressed file: reading it must stop, at its end or with an error
//     that stays, and never crash; the reader on the caller's thread and the
//     one that reads ahead hand out the same bytes and end the same way; at
//     the end every compressed byte is counted;
//   - a payload: compressed and read back, it must come back whole; cut
//     short, it must end in an error after a prefix of itself; with a byte
//     changed, it must end in an error or come back whole. These reach far
//     further into the decoders than bytes that must first pass their checks;
//   - and each of these fed to a decoder on its own, whose steps must stay
//     within the buffers they were given.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "core/codecs/codec.hpp"
#include "core/records/decompress.hpp"
#include "tests/memory_reader.hpp"

using namespace qvtok;
using records::IoError;
using test::MemReader;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_decompress: %s\n", what);
    __builtin_trap();
}

void expect(bool ok, const char* what) {
    if (!ok) fail(what);
}

constexpr std::size_t kReadSizes[] = {1, 7, 64, 4093, 65536, 3, 1000, 1 << 17};

struct Outcome {
    std::string out;
    bool capped = false;  // stopped early: a small file may decode to a great deal
    std::optional<IoError> error;
    std::uint64_t progress = 0;
};

Outcome decode(codecs::Codec codec, const std::string& bytes, std::size_t read_size, bool ahead) {
    auto inner = std::make_unique<MemReader>(bytes, SIZE_MAX, ahead);
    auto reader = ahead ? records::decompressing_reader(std::move(inner), codec, {})
                        : records::inline_decompressing_reader(std::move(inner), codec);
    expect(reader.ok(), "a codec that encodes cannot be read");
    records::ByteReader& r = *reader.value();
    Outcome o;
    std::string buf(read_size, '\0');
    std::size_t cap = std::min<std::size_t>(8 << 20, read_size << 16);
    while (o.out.size() < cap) {
        auto got = r.read(buf.data(), read_size);
        if (!got) {
            o.error = got.error();
            expect(o.error->kind == IoError::Kind::Corrupt || o.error->kind == IoError::Kind::Truncated,
                   "an error that is not the data's");
            expect(o.error->code == static_cast<int>(codec) && o.error->offset <= bytes.size(), "error out of place");
            auto again = r.read(buf.data(), read_size);
            expect(!again && again.error().kind == o.error->kind && again.error().offset == o.error->offset,
                   "a broken stream read on");
            break;
        }
        expect(got.value() <= read_size, "more bytes than asked for");
        if (got.value() == 0) break;
        o.out.append(buf.data(), got.value());
    }
    o.capped = o.out.size() >= cap;
    o.progress = r.progress().value_or(~std::uint64_t{0});
    expect(o.progress <= bytes.size(), "progress beyond the file");
    return o;
}

// The decoder on its own, fed `chunk` bytes at a time: a step must never
// claim more input or output than it was given, which the reader would take
// as bytes that are not there.
void step_through(codecs::Codec codec, const std::string& bytes, std::size_t chunk) {
    auto dec = codecs::make_decoder(codec);
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    unsigned char out[4093];
    std::size_t pos = 0, total = 0;
    for (int idle = 0; idle < 4 && total < (8 << 20);) {
        std::size_t len = std::min(chunk, bytes.size() - pos);
        codecs::DecodeStep s = dec->step(in + pos, len, out, sizeof out);
        expect(s.consumed <= len && s.produced <= sizeof out, "a decoder step beyond its buffers");
        if (s.state == codecs::DecodeStep::State::Corrupt) return;
        if (s.state == codecs::DecodeStep::State::EndOfStream) dec->restart();
        pos += s.consumed;
        total += s.produced;
        idle = s.consumed > 0 || s.produced > 0 ? 0 : idle + 1;
    }
}

// Reads `bytes` both ways, which must agree; the inline reading is the answer.
// The read-ahead thread asks for large reads, and a decoder that fails may
// drop the bytes and the input of its last step: before a Corrupt error, one
// side may have handed out bytes that the other held back, and placed the
// fault elsewhere.
Outcome decode_both(codecs::Codec codec, const std::string& bytes, std::size_t read_size) {
    Outcome inline_run = decode(codec, bytes, read_size, false);
    if (!inline_run.capped && !inline_run.error) expect(inline_run.progress == bytes.size(), "bytes left uncounted");
    Outcome ahead_run = decode(codec, bytes, read_size, true);
    std::size_t common = std::min(inline_run.out.size(), ahead_run.out.size());
    expect(inline_run.out.compare(0, common, ahead_run.out, 0, common) == 0, "read ahead, other bytes");
    if (!inline_run.capped && !ahead_run.capped) {
        expect(inline_run.error.has_value() == ahead_run.error.has_value(), "read ahead, another ending");
        bool corrupt = inline_run.error && inline_run.error->kind == IoError::Kind::Corrupt;
        if (inline_run.error) expect(inline_run.error->kind == ahead_run.error->kind, "read ahead, another error");
        if (!corrupt) {
            expect(inline_run.out.size() == ahead_run.out.size(), "read ahead, another length");
            expect(!inline_run.error || inline_run.error->offset == ahead_run.error->offset, "read ahead, another place");
        }
    }
    return inline_run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    auto codec = static_cast<codecs::Codec>(data[0] & 3);
    std::size_t read_size = kReadSizes[(data[0] >> 2) & 7];
    std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (!codecs::make_decoder(codec) || !codecs::make_encoder(codec)) return 0;

    // Empty pieces are left out: the unit tests write those.
    std::string encoded;
    auto enc = codecs::make_encoder(codec);
    std::size_t split = std::min(rest.size(), std::size_t(data[0] >> 5) * rest.size() / 7);
    for (std::string_view piece : {std::string_view(rest).substr(0, split), std::string_view(rest).substr(split)})
        if (!piece.empty()) enc->write(piece, encoded);
    enc->finish(encoded);
    expect(codecs::codec_by_magic(encoded) == codec, "a stream of another codec");
    Outcome back = decode(codec, encoded, read_size, false);
    if (back.error || back.out != rest || back.progress != encoded.size()) fail("a payload did not come back");

    // Where to cut and what to change, from the last bytes, which the payload shares.
    std::uint32_t k = size >= 3 ? data[size - 1] << 8 | data[size - 2] : 0;
    std::string changed = encoded;
    changed[(k * 7 + 3) % changed.size()] ^= static_cast<char>(k >> 8 | 1);
    try {
        step_through(codec, rest, read_size);
        step_through(codec, changed, read_size);
        step_through(codec, changed, changed.size());
        decode_both(codec, rest, read_size);
        Outcome cut = decode_both(codec, encoded.substr(0, k % encoded.size()), read_size);
        expect(cut.error.has_value() && rest.compare(0, cut.out.size(), cut.out) == 0, "a stream cut short read on");
        Outcome bad = decode_both(codec, changed, read_size);
        expect(bad.error || bad.capped || bad.out == rest, "a changed stream read as other bytes");
    } catch (const std::bad_alloc&) {
        // A header may ask for more memory than there is: the decoders say so this way.
    }
    return 0;
}
