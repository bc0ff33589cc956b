// xz through liblzma. Each stream is decoded on its own, so that the reader
// around it handles concatenated streams and their padding as it does for
// every codec.
#include <cstdint>
#include <new>

#include "core/codecs/backends.hpp"

#if defined(QVTOK_HAVE_XZ)
#include <lzma.h>
#endif

namespace qvtok::codecs {
namespace {

#if defined(QVTOK_HAVE_XZ)
class XzDecoder final : public Decoder {
public:
    XzDecoder() { start(); }
    ~XzDecoder() override { lzma_end(&s_); }

    DecodeStep step(const unsigned char* in, std::size_t in_len, unsigned char* out, std::size_t out_len) override {
        s_.next_in = in;
        s_.avail_in = in_len;
        s_.next_out = out;
        s_.avail_out = out_len;
        lzma_ret rc = lzma_code(&s_, LZMA_RUN);
        DecodeStep s;
        s.consumed = in_len - s_.avail_in;
        s.produced = out_len - s_.avail_out;
        switch (rc) {
            case LZMA_OK:
            case LZMA_BUF_ERROR: break;
            case LZMA_STREAM_END: s.state = DecodeStep::State::EndOfStream; break;
            case LZMA_MEM_ERROR: throw std::bad_alloc();
            case LZMA_FORMAT_ERROR:
                s.state = DecodeStep::State::Corrupt;
                s.detail = "invalid header";
                break;
            case LZMA_OPTIONS_ERROR:
                s.state = DecodeStep::State::Corrupt;
                s.detail = "unsupported options";
                break;
            default:
                s.state = DecodeStep::State::Corrupt;
                s.detail = "invalid data";
                break;
        }
        return s;
    }

    void restart() override {
        lzma_end(&s_);
        start();
    }

private:
    void start() {
        s_ = LZMA_STREAM_INIT;
        if (lzma_stream_decoder(&s_, UINT64_MAX, 0) != LZMA_OK) throw std::bad_alloc();
    }

    lzma_stream s_ = LZMA_STREAM_INIT;
};

class XzEncoder final : public Encoder {
public:
    // liblzma counts in size_t: any piece fits.
    XzEncoder() : Encoder(Codec::Xz, SIZE_MAX) {}
    // Also for a stream never set up: liblzma then finds nothing to free.
    ~XzEncoder() override { lzma_end(&s_); }

private:
    static constexpr std::size_t kRoom = 1 << 16;

    // xz's own default: preset 6, CRC64.
    const char* start() override { return reason(lzma_easy_encoder(&s_, 6, LZMA_CHECK_CRC64)); }
    const char* compress(std::string_view piece, std::string& out) override { return run(piece, out, LZMA_RUN); }
    const char* end(std::string& out) override { return run({}, out, LZMA_FINISH); }

    const char* run(std::string_view in, std::string& out, lzma_action action) {
        s_.next_in = reinterpret_cast<const std::uint8_t*>(in.data());
        s_.avail_in = in.size();
        for (;;) {
            s_.next_out = grow_for(out, kRoom);
            s_.avail_out = kRoom;
            lzma_ret rc = lzma_code(&s_, action);
            out.resize(out.size() - s_.avail_out);
            if (rc == LZMA_STREAM_END) return nullptr;
            if (rc != LZMA_OK) return reason(rc);
            if (action == LZMA_RUN && s_.avail_in == 0) return nullptr;
        }
    }

    // Null for LZMA_OK; liblzma has no words of its own for its codes.
    static const char* reason(lzma_ret rc) {
        switch (rc) {
            case LZMA_OK: return nullptr;
            case LZMA_MEM_ERROR: throw std::bad_alloc();
            case LZMA_MEMLIMIT_ERROR: return "memory usage limit reached (LZMA_MEMLIMIT_ERROR)";
            case LZMA_OPTIONS_ERROR: return "unsupported options (LZMA_OPTIONS_ERROR)";
            case LZMA_UNSUPPORTED_CHECK: return "unsupported integrity check (LZMA_UNSUPPORTED_CHECK)";
            case LZMA_DATA_ERROR: return "input too large for the format (LZMA_DATA_ERROR)";
            case LZMA_BUF_ERROR: return "no progress is possible (LZMA_BUF_ERROR)";
            case LZMA_PROG_ERROR: return "programming error (LZMA_PROG_ERROR)";
            default: return "unexpected error";
        }
    }

    lzma_stream s_ = LZMA_STREAM_INIT;
};
#endif

}  // namespace

std::unique_ptr<Decoder> make_xz_decoder() {
#if defined(QVTOK_HAVE_XZ)
    return std::make_unique<XzDecoder>();
#else
    return nullptr;
#endif
}

std::unique_ptr<Encoder> make_xz_encoder() {
#if defined(QVTOK_HAVE_XZ)
    return std::make_unique<XzEncoder>();
#else
    return nullptr;
#endif
}

}  // namespace qvtok::codecs
