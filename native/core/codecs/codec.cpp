#include "core/codecs/codec.hpp"

#include "core/codecs/backends.hpp"

namespace qvtok::codecs {
namespace {

bool ends_with_folded(std::string_view name, std::string_view ext) {
    if (name.size() < ext.size()) return false;
    std::string_view tail = name.substr(name.size() - ext.size());
    for (std::size_t i = 0; i < ext.size(); ++i) {
        char c = tail[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != ext[i]) return false;
    }
    return true;
}

struct Extension {
    std::string_view text;
    Codec codec;
};
constexpr Extension kExtensions[] = {
    {".gz", Codec::Gzip}, {".zst", Codec::Zstd}, {".bz2", Codec::Bzip2}, {".xz", Codec::Xz},
};

}  // namespace

const char* codec_name(Codec codec) {
    switch (codec) {
        case Codec::Gzip: return "gzip";
        case Codec::Zstd: return "zstd";
        case Codec::Bzip2: return "bzip2";
        case Codec::Xz: return "xz";
    }
    return "?";
}

std::optional<Codec> codec_by_name(std::string_view name) {
    for (Codec c : kAllCodecs)
        if (name == codec_name(c)) return c;
    return std::nullopt;
}

std::optional<Codec> codec_by_magic(std::string_view head) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(head[i]); };
    if (head.size() >= 2 && byte(0) == 0x1f && byte(1) == 0x8b) return Codec::Gzip;
    if (head.size() >= 4 && byte(1) == 0xb5 && byte(2) == 0x2f && byte(3) == 0xfd && byte(0) == 0x28)
        return Codec::Zstd;
    // A skippable frame (0x184D2A50 to 0x184D2A5F, little-endian) may come
    // before the first data frame.
    if (head.size() >= 4 && (byte(0) & 0xf0) == 0x50 && byte(1) == 0x2a && byte(2) == 0x4d && byte(3) == 0x18)
        return Codec::Zstd;
    if (head.size() >= 4 && head.substr(0, 3) == "BZh" && byte(3) >= '1' && byte(3) <= '9') return Codec::Bzip2;
    if (head.size() >= 6 && head.substr(0, 6) == std::string_view("\xfd" "7zXZ\0", 6)) return Codec::Xz;
    return std::nullopt;
}

std::optional<Codec> codec_by_extension(std::string_view name) {
    for (const Extension& e : kExtensions)
        if (ends_with_folded(name, e.text)) return e.codec;
    return std::nullopt;
}

std::string_view strip_codec_extension(std::string_view name) {
    for (const Extension& e : kExtensions)
        if (ends_with_folded(name, e.text)) return name.substr(0, name.size() - e.text.size());
    return name;
}

std::unique_ptr<Decoder> make_decoder(Codec codec) {
    switch (codec) {
        case Codec::Gzip: return make_gzip_decoder();
        case Codec::Zstd: return make_zstd_decoder();
        case Codec::Bzip2: return make_bzip2_decoder();
        case Codec::Xz: return make_xz_decoder();
    }
    return nullptr;
}

std::unique_ptr<Encoder> make_encoder(Codec codec) {
    switch (codec) {
        case Codec::Gzip: return make_gzip_encoder();
        case Codec::Zstd: return make_zstd_encoder();
        case Codec::Bzip2: return make_bzip2_encoder();
        case Codec::Xz: return make_xz_encoder();
    }
    return nullptr;
}

const char* codec_requirement(Codec codec) {
    switch (codec) {
        case Codec::Gzip: return "zlib (Debian: zlib1g-dev), then reinstall qvtok";
        case Codec::Zstd: return "libzstd (Debian: libzstd1, or libzstd-dev and reinstall qvtok)";
        case Codec::Bzip2: return "libbz2 (Debian: libbz2-dev), then reinstall qvtok";
        case Codec::Xz: return "liblzma (Debian: liblzma-dev), then reinstall qvtok";
    }
    return "?";
}

std::size_t zero_padding_unit(Codec codec) {
    switch (codec) {
        case Codec::Gzip: return 1;
        case Codec::Xz: return 4;
        case Codec::Zstd:
        case Codec::Bzip2: return 0;
    }
    return 0;
}

Expected<Done> Encoder::write(std::string_view in, std::string& out) {
    if (in.empty()) return Done{};  // libbz2, for one, takes no empty run
    if (ready()) in_pieces(in, piece_, [&](std::string_view piece) { return !(failure_ = compress(piece, out)); });
    return outcome();
}

Expected<Done> Encoder::finish(std::string& out) {
    if (ready()) failure_ = end(out);
    return outcome();
}

bool Encoder::ready() {
    if (!started_) {
        started_ = true;
        failure_ = start();
    }
    return failure_ == nullptr;
}

Expected<Done> Encoder::outcome() const {
    if (failure_ == nullptr) return Done{};
    Error e = Error::of(ErrorCode::EncodeFailed);
    e.subject = codec_name(codec_);
    e.detail = failure_;
    return e;
}

unsigned char* grow_for(std::string& out, std::size_t want) {
    std::size_t had = out.size();
    out.resize(had + want);
    return reinterpret_cast<unsigned char*>(out.data()) + had;
}

}  // namespace qvtok::codecs
