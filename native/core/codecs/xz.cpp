// xz through liblzma. Each stream is decoded on its own, so that the reader
// around it handles concatenated streams and their padding as it does for
// every codec.
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
    XzEncoder() {
        // xz's own default: preset 6, CRC64.
        if (lzma_easy_encoder(&s_, 6, LZMA_CHECK_CRC64) != LZMA_OK) throw std::bad_alloc();
    }
    ~XzEncoder() override { lzma_end(&s_); }

    void write(std::string_view in, std::string& out) override { run(in, out, LZMA_RUN); }
    void finish(std::string& out) override { run({}, out, LZMA_FINISH); }

private:
    static constexpr std::size_t kRoom = 1 << 16;

    void run(std::string_view in, std::string& out, lzma_action action) {
        s_.next_in = reinterpret_cast<const std::uint8_t*>(in.data());
        s_.avail_in = in.size();
        for (;;) {
            s_.next_out = grow_for(out, kRoom);
            s_.avail_out = kRoom;
            lzma_ret rc = lzma_code(&s_, action);
            out.resize(out.size() - s_.avail_out);
            if (rc == LZMA_STREAM_END) return;
            if (rc != LZMA_OK) throw std::bad_alloc();
            if (action == LZMA_RUN && s_.avail_in == 0) return;
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
