// bzip2 through libbz2.
#include <algorithm>
#include <limits>
#include <new>

#include "core/codecs/backends.hpp"

#if defined(QVTOK_HAVE_BZIP2)
#include <bzlib.h>
#endif

namespace qvtok::codecs {
namespace {

#if defined(QVTOK_HAVE_BZIP2)
constexpr std::size_t kMaxStep = std::numeric_limits<unsigned>::max();

class Bzip2Decoder final : public Decoder {
public:
    Bzip2Decoder() { start(); }
    ~Bzip2Decoder() override { BZ2_bzDecompressEnd(&bz_); }

    DecodeStep step(const unsigned char* in, std::size_t in_len, unsigned char* out, std::size_t out_len) override {
        bz_.next_in = reinterpret_cast<char*>(const_cast<unsigned char*>(in));
        bz_.avail_in = static_cast<unsigned>(std::min(in_len, kMaxStep));
        bz_.next_out = reinterpret_cast<char*>(out);
        bz_.avail_out = static_cast<unsigned>(std::min(out_len, kMaxStep));
        unsigned in_before = bz_.avail_in, out_before = bz_.avail_out;
        int rc = BZ2_bzDecompress(&bz_);
        DecodeStep s;
        s.consumed = in_before - bz_.avail_in;
        s.produced = out_before - bz_.avail_out;
        switch (rc) {
            case BZ_OK: break;
            case BZ_STREAM_END: s.state = DecodeStep::State::EndOfStream; break;
            case BZ_MEM_ERROR: throw std::bad_alloc();
            case BZ_DATA_ERROR_MAGIC:
                s.state = DecodeStep::State::Corrupt;
                s.detail = "invalid header";
                break;
            default:
                s.state = DecodeStep::State::Corrupt;
                s.detail = "invalid data";
                break;
        }
        return s;
    }

    void restart() override {
        BZ2_bzDecompressEnd(&bz_);
        start();
    }

private:
    void start() {
        bz_ = bz_stream{};
        if (BZ2_bzDecompressInit(&bz_, 0, 0) != BZ_OK) throw std::bad_alloc();
    }

    bz_stream bz_{};
};

class Bzip2Encoder final : public Encoder {
public:
    Bzip2Encoder() : Encoder(Codec::Bzip2, kMaxStep) {}
    // Also for a stream never set up: libbz2 then finds no state to free.
    ~Bzip2Encoder() override { BZ2_bzCompressEnd(&bz_); }

private:
    static constexpr std::size_t kRoom = 1 << 16;

    // bzip2's own default: 900 kB blocks.
    const char* start() override { return reason(BZ2_bzCompressInit(&bz_, 9, 0, 0)); }
    const char* compress(std::string_view piece, std::string& out) override { return run(piece, out, BZ_RUN); }
    const char* end(std::string& out) override { return run({}, out, BZ_FINISH); }

    const char* run(std::string_view in, std::string& out, int action) {
        bz_.next_in = const_cast<char*>(in.data());
        bz_.avail_in = static_cast<unsigned>(in.size());  // the base hands over no more than this holds
        for (;;) {
            bz_.next_out = reinterpret_cast<char*>(grow_for(out, kRoom));
            bz_.avail_out = kRoom;
            int rc = BZ2_bzCompress(&bz_, action);
            out.resize(out.size() - bz_.avail_out);
            if (rc == BZ_STREAM_END) return nullptr;
            if (rc < 0) return reason(rc);
            if (action == BZ_RUN && bz_.avail_in == 0) return nullptr;
        }
    }

    // Null for success; libbz2 has no words of its own for its codes.
    static const char* reason(int rc) {
        switch (rc) {
            case BZ_OK: return nullptr;
            case BZ_MEM_ERROR: throw std::bad_alloc();
            case BZ_SEQUENCE_ERROR: return "calls out of sequence (BZ_SEQUENCE_ERROR)";
            case BZ_PARAM_ERROR: return "bad parameter (BZ_PARAM_ERROR)";
            case BZ_CONFIG_ERROR: return "the library is miscompiled (BZ_CONFIG_ERROR)";
            default: return "unexpected error";
        }
    }

    bz_stream bz_{};
};
#endif

}  // namespace

std::unique_ptr<Decoder> make_bzip2_decoder() {
#if defined(QVTOK_HAVE_BZIP2)
    return std::make_unique<Bzip2Decoder>();
#else
    return nullptr;
#endif
}

std::unique_ptr<Encoder> make_bzip2_encoder() {
#if defined(QVTOK_HAVE_BZIP2)
    return std::make_unique<Bzip2Encoder>();
#else
    return nullptr;
#endif
}

}  // namespace qvtok::codecs
