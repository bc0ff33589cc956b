// zstd through libzstd: linked where the build found its header, else loaded
// at run time from the shared library that most systems carry anyway, with
// the few stable declarations this file needs written out here.
#include <algorithm>
#include <cstdint>
#include <new>

#include "core/codecs/backends.hpp"

#if defined(QVTOK_HAVE_ZSTD)
#include <zstd.h>
#include <zstd_errors.h>
#else
#include <dlfcn.h>
#endif

namespace qvtok::codecs {
namespace {

#if !defined(QVTOK_HAVE_ZSTD)
// The stable part of zstd.h (1.4 and later) that this file calls.
struct ZSTD_DCtx;
struct ZSTD_CCtx;
struct ZSTD_inBuffer {
    const void* src;
    std::size_t size;
    std::size_t pos;
};
struct ZSTD_outBuffer {
    void* dst;
    std::size_t size;
    std::size_t pos;
};
enum ZSTD_EndDirective { ZSTD_e_continue = 0, ZSTD_e_flush = 1, ZSTD_e_end = 2 };
enum ZSTD_ResetDirective { ZSTD_reset_session_only = 1 };
enum ZSTD_cParameter { ZSTD_c_compressionLevel = 100, ZSTD_c_checksumFlag = 201 };
// zstd_errors.h: the codes are fixed since 1.3.1.
enum ZSTD_ErrorCode { ZSTD_error_memory_allocation = 64 };
#endif

struct ZstdApi {
    ZSTD_DCtx* (*createDCtx)();
    std::size_t (*freeDCtx)(ZSTD_DCtx*);
    std::size_t (*DCtx_reset)(ZSTD_DCtx*, ZSTD_ResetDirective);
    std::size_t (*decompressStream)(ZSTD_DCtx*, ZSTD_outBuffer*, ZSTD_inBuffer*);
    ZSTD_CCtx* (*createCCtx)();
    std::size_t (*freeCCtx)(ZSTD_CCtx*);
    std::size_t (*CCtx_setParameter)(ZSTD_CCtx*, ZSTD_cParameter, int);
    std::size_t (*compressStream2)(ZSTD_CCtx*, ZSTD_outBuffer*, ZSTD_inBuffer*, ZSTD_EndDirective);
    std::size_t (*CStreamOutSize)();
    unsigned (*isError)(std::size_t);
    const char* (*getErrorName)(std::size_t);
    ZSTD_ErrorCode (*getErrorCode)(std::size_t);
};

// Nullptr when the library cannot be had.
const ZstdApi* zstd_api() {
#if defined(QVTOK_HAVE_ZSTD)
    static const ZstdApi api{ZSTD_createDCtx, ZSTD_freeDCtx,        ZSTD_DCtx_reset,   ZSTD_decompressStream,
                             ZSTD_createCCtx, ZSTD_freeCCtx,        ZSTD_CCtx_setParameter, ZSTD_compressStream2,
                             ZSTD_CStreamOutSize, ZSTD_isError,     ZSTD_getErrorName, ZSTD_getErrorCode};
    return &api;
#else
    static const ZstdApi* loaded = []() -> const ZstdApi* {
        void* lib = ::dlopen("libzstd.so.1", RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) return nullptr;
        static ZstdApi api;
        bool ok = true;
        auto bind = [&](auto& fn, const char* name) {
            void* sym = ::dlsym(lib, name);
            ok = ok && sym != nullptr;
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(sym);
        };
        bind(api.createDCtx, "ZSTD_createDCtx");
        bind(api.freeDCtx, "ZSTD_freeDCtx");
        bind(api.DCtx_reset, "ZSTD_DCtx_reset");
        bind(api.decompressStream, "ZSTD_decompressStream");
        bind(api.createCCtx, "ZSTD_createCCtx");
        bind(api.freeCCtx, "ZSTD_freeCCtx");
        bind(api.CCtx_setParameter, "ZSTD_CCtx_setParameter");
        bind(api.compressStream2, "ZSTD_compressStream2");
        bind(api.CStreamOutSize, "ZSTD_CStreamOutSize");
        bind(api.isError, "ZSTD_isError");
        bind(api.getErrorName, "ZSTD_getErrorName");
        bind(api.getErrorCode, "ZSTD_getErrorCode");
        return ok ? &api : nullptr;  // the library stays loaded for the process
    }();
    return loaded;
#endif
}

class ZstdDecoder final : public Decoder {
public:
    explicit ZstdDecoder(const ZstdApi& api) : api_(api), ctx_(api.createDCtx()) {
        if (ctx_ == nullptr) throw std::bad_alloc();
    }
    ~ZstdDecoder() override { api_.freeDCtx(ctx_); }

    DecodeStep step(const unsigned char* in, std::size_t in_len, unsigned char* out, std::size_t out_len) override {
        // libzstd counts nothing of a call that fails, so each call is given
        // one piece of the frame (a header, a block's body, the checksum):
        // a fault is then placed at the start of the piece that holds it.
        // The hint counts the next block's header with a body; that header
        // goes in a call of its own.
        std::size_t piece = want_ > kBlockHeader ? want_ - kBlockHeader : want_;
        ZSTD_inBuffer src{in, std::min(in_len, piece), 0};
        ZSTD_outBuffer dst{out, out_len, 0};
        std::size_t rc = api_.decompressStream(ctx_, &dst, &src);
        DecodeStep s;
        s.consumed = src.pos;
        s.produced = dst.pos;
        if (api_.isError(rc)) {
            s.state = DecodeStep::State::Corrupt;
            s.detail = api_.getErrorName(rc);
        } else if (rc == 0) {
            s.state = DecodeStep::State::EndOfStream;  // a frame ended and all of it is out
        } else {
            want_ = rc;  // what the frame needs next, less what libzstd holds
        }
        return s;
    }

    void restart() override {
        api_.DCtx_reset(ctx_, ZSTD_reset_session_only);
        want_ = kFirstWant;
    }

private:
    static constexpr std::size_t kBlockHeader = 3;
    // The first bytes of a frame tell how long its header is.
    static constexpr std::size_t kFirstWant = 5 + kBlockHeader;

    const ZstdApi& api_;
    ZSTD_DCtx* ctx_;
    std::size_t want_ = kFirstWant;
};

class ZstdEncoder final : public Encoder {
public:
    // libzstd counts in size_t: any piece fits.
    explicit ZstdEncoder(const ZstdApi& api) : Encoder(Codec::Zstd, SIZE_MAX), api_(api), ctx_(api.createCCtx()) {
        if (ctx_ == nullptr) throw std::bad_alloc();
    }
    ~ZstdEncoder() override { api_.freeCCtx(ctx_); }

private:
    const char* start() override {
        // The zstd tool's defaults: level 3, with a checksum of each frame.
        if (const char* r = reason(api_.CCtx_setParameter(ctx_, ZSTD_c_compressionLevel, 3))) return r;
        return reason(api_.CCtx_setParameter(ctx_, ZSTD_c_checksumFlag, 1));
    }
    const char* compress(std::string_view piece, std::string& out) override { return run(piece, out, ZSTD_e_continue); }
    const char* end(std::string& out) override { return run({}, out, ZSTD_e_end); }

    const char* run(std::string_view in, std::string& out, ZSTD_EndDirective mode) {
        ZSTD_inBuffer src{in.data(), in.size(), 0};
        for (;;) {
            std::size_t room = api_.CStreamOutSize();
            ZSTD_outBuffer dst{grow_for(out, room), room, 0};
            std::size_t left = api_.compressStream2(ctx_, &dst, &src, mode);
            out.resize(out.size() - room + dst.pos);
            if (const char* r = reason(left)) return r;
            if (mode == ZSTD_e_end ? left == 0 : src.pos == src.size) return nullptr;
        }
    }

    // Null unless `rc` is an error; the library's name for it otherwise.
    const char* reason(std::size_t rc) const {
        if (!api_.isError(rc)) return nullptr;
        if (api_.getErrorCode(rc) == ZSTD_error_memory_allocation) throw std::bad_alloc();
        return api_.getErrorName(rc);
    }

    const ZstdApi& api_;
    ZSTD_CCtx* ctx_;
};

}  // namespace

std::unique_ptr<Decoder> make_zstd_decoder() {
    const ZstdApi* api = zstd_api();
    return api != nullptr ? std::make_unique<ZstdDecoder>(*api) : nullptr;
}

std::unique_ptr<Encoder> make_zstd_encoder() {
    const ZstdApi* api = zstd_api();
    return api != nullptr ? std::make_unique<ZstdEncoder>(*api) : nullptr;
}

}  // namespace qvtok::codecs
