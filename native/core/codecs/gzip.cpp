// gzip: read with ISA-L's inflater where the build found it (several times
// zlib's speed), else with zlib; written with zlib.
#include <algorithm>
#include <limits>
#include <new>

#include "core/codecs/backends.hpp"

#if defined(QVTOK_HAVE_ISAL)
#include <isa-l/igzip_lib.h>
#endif
#if defined(QVTOK_HAVE_ZLIB)
#include <zlib.h>
#endif

namespace qvtok::codecs {
namespace {

// Both libraries count in 32 bits.
constexpr std::size_t kMaxStep = std::numeric_limits<std::uint32_t>::max();

#if defined(QVTOK_HAVE_ISAL)
class IsalDecoder final : public Decoder {
public:
    IsalDecoder() { restart(); }

    DecodeStep step(const unsigned char* in, std::size_t in_len, unsigned char* out, std::size_t out_len) override {
        state_.next_in = const_cast<unsigned char*>(in);
        state_.avail_in = static_cast<std::uint32_t>(std::min(in_len, kMaxStep));
        state_.next_out = out;
        state_.avail_out = static_cast<std::uint32_t>(std::min(out_len, kMaxStep));
        std::uint32_t in_before = state_.avail_in, out_before = state_.avail_out;
        int rc = isal_inflate(&state_);
        DecodeStep s;
        // On bad data ISA-L may leave avail_in wrapped past zero: no step
        // takes more than it was given.
        s.consumed = std::min<std::size_t>(in_before - state_.avail_in, in_before);
        s.produced = std::min<std::size_t>(out_before - state_.avail_out, out_before);
        if (rc < 0) {
            s.state = DecodeStep::State::Corrupt;
            s.detail = detail(rc);
        } else if (rc == ISAL_NEED_DICT) {
            s.state = DecodeStep::State::Corrupt;
            s.detail = "the stream needs a preset dictionary";
        } else if (state_.block_state == ISAL_BLOCK_FINISH) {
            s.state = DecodeStep::State::EndOfStream;
        }
        return s;
    }

    void restart() override {
        isal_inflate_init(&state_);
        state_.crc_flag = ISAL_GZIP;
    }

private:
    static const char* detail(int rc) {
        switch (rc) {
            case ISAL_INVALID_BLOCK: return "invalid block";
            case ISAL_INVALID_SYMBOL: return "invalid code";
            case ISAL_INVALID_LOOKBACK: return "invalid distance too far back";
            case ISAL_INVALID_WRAPPER: return "invalid header";
            case ISAL_UNSUPPORTED_METHOD: return "unknown compression method";
            case ISAL_INCORRECT_CHECKSUM: return "incorrect data check";
            default: return "invalid data";
        }
    }

    inflate_state state_;
};
#endif

#if defined(QVTOK_HAVE_ZLIB)
// zlib's windowBits for a gzip wrapper only.
constexpr int kGzipWindow = 15 + 16;

[[noreturn]] void out_of_memory() { throw std::bad_alloc(); }

class ZlibDecoder final : public Decoder {
public:
    ZlibDecoder() {
        if (inflateInit2(&z_, kGzipWindow) != Z_OK) out_of_memory();
    }
    ~ZlibDecoder() override { inflateEnd(&z_); }

    DecodeStep step(const unsigned char* in, std::size_t in_len, unsigned char* out, std::size_t out_len) override {
        z_.next_in = const_cast<unsigned char*>(in);
        z_.avail_in = static_cast<uInt>(std::min(in_len, kMaxStep));
        z_.next_out = out;
        z_.avail_out = static_cast<uInt>(std::min(out_len, kMaxStep));
        uInt in_before = z_.avail_in, out_before = z_.avail_out;
        int rc = inflate(&z_, Z_NO_FLUSH);
        DecodeStep s;
        s.consumed = in_before - z_.avail_in;
        s.produced = out_before - z_.avail_out;
        switch (rc) {
            case Z_OK:
            case Z_BUF_ERROR: break;  // no progress was possible: more input is needed
            case Z_STREAM_END: s.state = DecodeStep::State::EndOfStream; break;
            case Z_MEM_ERROR: out_of_memory();
            case Z_NEED_DICT:
                s.state = DecodeStep::State::Corrupt;
                s.detail = "the stream needs a preset dictionary";
                break;
            default:
                s.state = DecodeStep::State::Corrupt;
                s.detail = z_.msg != nullptr ? z_.msg : "invalid data";
                break;
        }
        return s;
    }

    void restart() override { inflateReset(&z_); }

private:
    z_stream z_{};
};

class ZlibEncoder final : public Encoder {
public:
    ZlibEncoder() : Encoder(Codec::Gzip, std::numeric_limits<uInt>::max()) {}
    // Also for a stream never set up: zlib then finds no state to free.
    ~ZlibEncoder() override { deflateEnd(&z_); }

private:
    const char* start() override {
        // gzip's own default level and memory use.
        return reason(deflateInit2(&z_, 6, Z_DEFLATED, kGzipWindow, 8, Z_DEFAULT_STRATEGY));
    }
    const char* compress(std::string_view piece, std::string& out) override { return run(piece, out, Z_NO_FLUSH); }
    const char* end(std::string& out) override { return run({}, out, Z_FINISH); }

    const char* run(std::string_view in, std::string& out, int flush) {
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        z_.avail_in = static_cast<uInt>(in.size());  // the base hands over no more than uInt holds
        for (;;) {
            std::size_t room = deflateBound(&z_, z_.avail_in) + 64;
            unsigned char* dst = grow_for(out, room);
            z_.next_out = dst;
            z_.avail_out = static_cast<uInt>(std::min(room, kMaxStep));
            const uInt given = z_.avail_out;
            int rc = deflate(&z_, flush);
            out.resize(out.size() - room + (given - z_.avail_out));
            if (rc == Z_STREAM_END) return nullptr;
            // Z_BUF_ERROR: no progress, which fresh room rules out but for
            // a stream that is already broken.
            if (rc != Z_OK) return reason(rc);
            if (z_.avail_in == 0 && flush == Z_NO_FLUSH) return nullptr;
        }
    }

    // Null for Z_OK; the library's own words otherwise.
    const char* reason(int rc) const {
        if (rc == Z_OK) return nullptr;
        if (rc == Z_MEM_ERROR) out_of_memory();
        return z_.msg != nullptr ? z_.msg : zError(rc);
    }

    z_stream z_{};
};
#endif

}  // namespace

std::unique_ptr<Decoder> make_gzip_decoder() {
#if defined(QVTOK_HAVE_ISAL)
    return std::make_unique<IsalDecoder>();
#elif defined(QVTOK_HAVE_ZLIB)
    return std::make_unique<ZlibDecoder>();
#else
    return nullptr;
#endif
}

std::unique_ptr<Encoder> make_gzip_encoder() {
#if defined(QVTOK_HAVE_ZLIB)
    return std::make_unique<ZlibEncoder>();
#else
    return nullptr;
#endif
}

}  // namespace qvtok::codecs
