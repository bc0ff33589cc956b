// Compressed input: which codec a file is, and the reader that decodes it
// stream after stream, on the caller's thread and ahead of it.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/codecs/codec.hpp"
#include "core/records/decompress.hpp"
#include "core/records/read_ahead.hpp"
#include "memory_reader.hpp"

using namespace qvtok;
using codecs::Codec;
using records::IoError;
using test::MemReader;

namespace {

// Says which case a failed check belongs to, once the case is over.
struct Context {
    std::string what;
    int before = test::failures();
    ~Context() {
        if (test::failures() > before) std::fprintf(stderr, "  (in: %s)\n", what.c_str());
    }
};

// Codecs this build can both write and read.
std::vector<Codec> available() {
    std::vector<Codec> out;
    for (Codec c : codecs::kAllCodecs)
        if (codecs::make_encoder(c) && codecs::make_decoder(c)) out.push_back(c);
    return out;
}

// Records of varied shape, so that the compressed form is neither tiny nor
// the size of the input.
std::string json_like(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    static const char* const words[] = {"alpha", "\\u00e9t\\u00e9", "null", "\xc3\xa9l\xc3\xa8ve", "gamma"};
    std::string out;
    while (out.size() < size) {
        out += "{\"id\":" + std::to_string(rng()) + ",\"name\":\"";
        for (unsigned i = rng() % 16; i-- > 0;) out += static_cast<char>('a' + rng() % 26);
        out += "\",\"tags\":[\"" + std::string(words[rng() % 5]) + "\"],\"x\":" + std::to_string(rng() % 99991 / 7.0) + "}\n";
    }
    out.resize(size);
    return out;
}

// The payload written in two uneven pieces, then the end of the stream.
// Empty pieces are left out: compressed_encoders_take_empty_writes checks those.
std::string encode(Codec c, const std::string& payload) {
    auto enc = codecs::make_encoder(c);
    std::string out;
    std::size_t cut = payload.size() / 3;
    for (std::string_view piece : {std::string_view(payload).substr(0, cut), std::string_view(payload).substr(cut)})
        if (!piece.empty()) CHECK(enc->write(piece, out).ok());
    CHECK(enc->finish(out).ok());
    return out;
}

struct Outcome {
    std::string out;
    std::optional<IoError> error;
    std::uint64_t progress = 0;
};

// Reads to the end or the first error, taking the read sizes in turn.
Outcome drain(records::ByteReader& r, const std::vector<std::size_t>& sizes) {
    Outcome o;
    std::string buf(65536, '\0');
    for (std::size_t i = 0;; ++i) {
        std::size_t n = sizes[i % sizes.size()];
        auto got = r.read(buf.data(), n);
        if (!got) {
            o.error = got.error();
            // A stream that does not decode stays broken, at the same place.
            auto again = r.read(buf.data(), n);
            CHECK(!again && again.error().kind == o.error->kind && again.error().offset == o.error->offset);
            break;
        }
        CHECK(got.value() <= n);
        if (got.value() == 0) {
            auto again = r.read(buf.data(), n);
            CHECK(again && again.value() == 0);
            break;
        }
        o.out.append(buf.data(), got.value());
    }
    o.progress = r.progress().value_or(~std::uint64_t{0});
    return o;
}

Outcome decode(Codec c, const std::string& bytes, const std::vector<std::size_t>& sizes = {65536},
               bool ahead = false, std::size_t chunk = 1 << 20) {
    auto inner = std::make_unique<MemReader>(bytes, chunk, ahead);
    auto r = ahead ? records::decompressing_reader(std::move(inner), c, {})
                   : records::inline_decompressing_reader(std::move(inner), c);
    CHECK(r.ok());
    if (!r) return {};
    return drain(*r.value(), sizes);
}

// Empty when `o` is the whole payload with every compressed byte counted;
// else what went wrong, for the failure message.
std::string mismatch(const Outcome& o, const std::string& payload, std::uint64_t compressed_size) {
    if (o.error)
        return "error " + std::to_string(static_cast<int>(o.error->kind)) + " at " + std::to_string(o.error->offset);
    if (o.out != payload)
        return "got " + std::to_string(o.out.size()) + " bytes of " + std::to_string(payload.size()) + ", differing at " +
               std::to_string(std::mismatch(o.out.begin(), o.out.end(), payload.begin(), payload.end()).first - o.out.begin());
    if (o.progress != compressed_size)
        return "progress " + std::to_string(o.progress) + " of " + std::to_string(compressed_size);
    return {};
}

}  // namespace

TEST(compressed_codec_told_by_first_bytes) {
    using S = std::string;
    const std::pair<S, std::optional<Codec>> table[] = {
        {"", {}}, {"\x1f", {}}, {"\x1f\x8b", Codec::Gzip}, {"\x1f\x8c\x08", {}},
        {"\x28\xb5\x2f", {}}, {"\x28\xb5\x2f\xfd", Codec::Zstd}, {"\x29\xb5\x2f\xfd", {}},
        {"\x50\x2a\x4d\x18", Codec::Zstd}, {"\x5f\x2a\x4d\x18\0\0", Codec::Zstd}, {"\x60\x2a\x4d\x18", {}},
        {"\x4f\x2a\x4d\x18", {}}, {"\x50\x2a\x4d", {}}, {"BZh9", Codec::Bzip2}, {"BZh1rest", Codec::Bzip2},
        {"BZh", {}}, {"BZh0", {}}, {"BZh:", {}}, {"bzh9", {}}, {S("\xfd" "7zXZ\0", 6), Codec::Xz},
        {"\xfd" "7zXZ", {}}, {"\xfd" "7zXZ\x01", {}}, {"{\"a\": 1}", {}}, {S(6, '\0'), {}},
    };
    for (const auto& [head, want] : table) {
        Context ctx{"head of " + std::to_string(head.size()) + " bytes: " + head};
        CHECK(codecs::codec_by_magic(head) == want);
    }
    for (Codec c : available()) {
        CHECK(codecs::codec_by_magic(encode(c, "")) == c);
        CHECK(codecs::codec_by_magic(encode(c, "[1]\n")) == c);
    }
    for (Codec c : codecs::kAllCodecs) CHECK(codecs::codec_by_name(codecs::codec_name(c)) == c);
    CHECK(!codecs::codec_by_name("gz") && !codecs::codec_by_name("GZIP"));
}

TEST(compressed_codec_told_by_file_name) {
    struct Row {
        const char* name;
        std::optional<Codec> codec;
        const char* stripped;
    };
    const Row table[] = {
        {"a.gz", Codec::Gzip, "a"},          {"A.GZ", Codec::Gzip, "A"},          {"x.json.Zst", Codec::Zstd, "x.json"},
        {"d/f.bz2", Codec::Bzip2, "d/f"},    {"f.BZ2", Codec::Bzip2, "f"},        {"f.jsonl.xZ", Codec::Xz, "f.jsonl"},
        {"f.tar.gz", Codec::Gzip, "f.tar"},  {".gz", Codec::Gzip, ""},            {"gz", {}, "gz"},
        {"f.tgz", {}, "f.tgz"},              {"f.gzip", {}, "f.gzip"},            {"f.gz.json", {}, "f.gz.json"},
        {"f.bz", {}, "f.bz"},                {"f.zstd", {}, "f.zstd"},            {"", {}, ""},
        {"f.g\xfa", {}, "f.g\xfa"},
    };
    for (const Row& r : table) {
        Context ctx{r.name};
        CHECK(codecs::codec_by_extension(r.name) == r.codec);
        CHECK_EQ(codecs::strip_codec_extension(r.name), std::string_view(r.stripped));
    }
}

TEST(compressed_payloads_round_trip) {
    for (Codec c : codecs::kAllCodecs) {
        // A codec this build lacks is named in the error, whichever way it is read.
        if (codecs::make_decoder(c)) continue;
        for (bool ahead : {false, true}) {
            auto r = ahead ? records::decompressing_reader(std::make_unique<MemReader>("", 1, true), c, {})
                           : records::inline_decompressing_reader(std::make_unique<MemReader>(""), c);
            CHECK(!r && r.error().code == ErrorCode::CodecUnavailable && r.error().subject == codecs::codec_name(c));
        }
    }
    // Some end where the read-ahead blocks end (256 KiB).
    const std::string payloads[] = {"", "{\"a\": [1, 2]}\n", json_like(1 << 18, 8), json_like(1 << 19, 9),
                                    json_like(3 << 20, 1)};
    for (Codec c : available()) {
        for (const std::string& payload : payloads) {
            std::string bytes = encode(c, payload);
            Context ctx{std::string(codecs::codec_name(c)) + ", payload of " + std::to_string(payload.size())};
            CHECK(bytes.size() < payload.size() + 100);
            // Every size for small payloads; for the large one, the sizes in turn.
            std::vector<std::vector<std::size_t>> patterns = {{65536}, {1, 7, 65536, 4093}};
            if (payload.size() < 100) patterns.insert(patterns.end(), {{1}, {7}});
            for (const auto& sizes : patterns)
                for (std::size_t chunk : {std::size_t(1) << 20, std::size_t(4099)})
                    for (bool ahead : {false, true}) {
                        Outcome o = decode(c, bytes, sizes, ahead, chunk);
                        CHECK_EQ(mismatch(o, payload, bytes.size()), "");
                    }
        }
    }
}

TEST(compressed_encoders_take_empty_writes) {
    const std::string payload = "[1, 2, 3]\n";
    for (Codec c : available()) {
        Context ctx{codecs::codec_name(c)};
        try {
            auto enc = codecs::make_encoder(c);
            std::string out;
            CHECK(enc->write("", out).ok());
            CHECK(enc->write(payload, out).ok());
            CHECK(enc->write("", out).ok());
            CHECK(enc->finish(out).ok());
            CHECK_EQ(mismatch(decode(c, out), payload, out.size()), "");
        } catch (const std::exception& e) {
            test::fail(__FILE__, __LINE__, std::string("an empty write threw ") + e.what());
        }
    }
}

TEST(compressed_input_is_cut_into_pieces_that_cover_it) {
    const std::string text = json_like(1000, 3);
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{6}, std::size_t{7}, std::size_t{1000}}) {
        for (std::size_t most : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{1000}, SIZE_MAX}) {
            Context ctx{std::to_string(size) + " bytes in pieces of " + std::to_string(most)};
            const std::string_view in = std::string_view(text).substr(0, size);
            std::string joined;
            std::size_t pieces = 0;
            bool short_before_last = false;
            CHECK(codecs::in_pieces(in, most, [&](std::string_view piece) {
                short_before_last = short_before_last || (pieces > 0 && joined.size() % most != 0);
                CHECK(!piece.empty() && piece.size() <= most);
                joined += piece;
                ++pieces;
                return true;
            }));
            CHECK(joined == in);
            CHECK(!short_before_last);
            CHECK_EQ(pieces, size == 0 ? 0 : (size - 1) / most + 1);
        }
    }
    std::size_t calls = 0;
    CHECK(!codecs::in_pieces(text, 100, [&](std::string_view) { return ++calls < 3; }));
    CHECK_EQ(calls, std::size_t{3});  // none after the one that said stop
}

namespace {
// An encoder that keeps what it is handed, and fails on a piece that holds
// a '!'.
class PieceRecorder final : public codecs::Encoder {
public:
    explicit PieceRecorder(std::size_t piece) : Encoder(Codec::Gzip, piece) {}
    std::vector<std::string> pieces;
    int starts = 0;

private:
    const char* start() override { return ++starts == 1 ? nullptr : "started twice"; }
    const char* compress(std::string_view piece, std::string& out) override {
        pieces.emplace_back(piece);
        out += piece;
        return piece.find('!') == std::string_view::npos ? nullptr : "refused";
    }
    const char* end(std::string&) override { return nullptr; }
};
}  // namespace

TEST(compressed_encoder_hands_its_library_pieces_it_can_count) {
    PieceRecorder enc(4);
    std::string out;
    CHECK(enc.write("abcdefghij", out).ok());
    CHECK(enc.write("", out).ok());
    CHECK(enc.write("kl", out).ok());
    CHECK_EQ(enc.pieces.size(), std::size_t{4});
    CHECK(enc.pieces == (std::vector<std::string>{"abcd", "efgh", "ij", "kl"}));
    CHECK_EQ(out, std::string("abcdefghijkl"));
    // A piece that fails ends the write there, and the encoder with it.
    auto failed = enc.write("mnop!qrstuvw", out);
    CHECK(!failed.ok() && failed.error().code == ErrorCode::EncodeFailed);
    CHECK(enc.pieces.back() == "!qrs");
    CHECK(!enc.write("x", out).ok() && !enc.finish(out).ok());
    CHECK(enc.pieces.back() == "!qrs" && enc.starts == 1);
}

TEST(compressed_encoders_given_small_pieces_round_trip) {
    // A write larger than what the library takes at a call goes over in
    // pieces: the same as a write of over 4 GiB against zlib's 32-bit
    // counter, at a size a test can afford.
    const std::string payload = json_like(300000, 11);
    for (Codec c : available()) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{4093}, std::size_t{65536}}) {
            Context ctx{std::string(codecs::codec_name(c)) + " in pieces of " + std::to_string(piece)};
            auto enc = codecs::make_encoder(c);
            enc->limit_pieces(piece);
            std::string out;
            // One byte at a time takes long: a shorter text for that.
            const std::string_view in = piece == 1 ? std::string_view(payload).substr(0, 5000) : payload;
            CHECK(enc->write(in, out).ok());
            CHECK(enc->finish(out).ok());
            CHECK_EQ(mismatch(decode(c, out), std::string(in), out.size()), "");
        }
    }
}

TEST(compressed_encoder_failure_is_reported_with_the_library_reason) {
    // A write after the stream ended is refused by zlib and libbz2 (libzstd
    // starts a new frame, liblzma says again that the stream ended); that
    // is a failure of the library, not an allocation that failed.
    for (Codec c : available()) {
        if (c != Codec::Gzip && c != Codec::Bzip2) continue;
        Context ctx{codecs::codec_name(c)};
        auto enc = codecs::make_encoder(c);
        std::string out;
        CHECK(enc->write("[1]\n", out).ok());
        CHECK(enc->finish(out).ok());
        Expected<Done> late = Done{};
        try {
            late = enc->write("[2]\n", out);
        } catch (const std::bad_alloc&) {
            test::fail(__FILE__, __LINE__, "a library failure was thrown as out of memory");
            continue;
        }
        CHECK(!late.ok());
        if (late.ok()) continue;
        CHECK(late.error().code == ErrorCode::EncodeFailed);
        CHECK_EQ(late.error().subject, std::string(codecs::codec_name(c)));
        CHECK(late.error().detail != nullptr && *late.error().detail != '\0');
        // The encoder stays failed.
        CHECK(!enc->finish(out).ok());
    }
}

TEST(compressed_streams_concatenated_and_what_may_follow) {
    const std::string a = json_like(200000, 2), b = "{\"second\": true}\n";
    for (Codec c : available()) {
        Context ctx{codecs::codec_name(c)};
        const std::string ea = encode(c, a), eb = encode(c, b), zeros(8, '\0');
        for (bool ahead : {false, true}) {
            CHECK_EQ(mismatch(decode(c, ea + eb + ea, {4093}, ahead), a + b + a, 2 * ea.size() + eb.size()), "");
            CHECK_EQ(mismatch(decode(c, eb + encode(c, "") + eb, {7}, ahead), b + b, 2 * eb.size() + encode(c, "").size()), "");
        }
        if (c == Codec::Zstd) {
            // Skippable frames, here of four bytes, may stand anywhere.
            const std::string skip("\x5a\x2a\x4d\x18\x04\0\0\0" "abcd", 12);
            CHECK_EQ(mismatch(decode(c, skip + eb + skip + ea), b + a, 2 * skip.size() + eb.size() + ea.size()), "");
        }
        // A gzip or xz stream may be followed by zeros, here in multiples of four as xz wants.
        std::string padded = ea + zeros + eb + zeros + zeros;
        Outcome o = decode(c, padded);
        if (codecs::zero_padding_unit(c) != 0) {
            CHECK_EQ(mismatch(o, a + b, padded.size()), "");
        } else {
            CHECK(o.error && o.error->kind == IoError::Kind::Corrupt && o.error->offset == ea.size());
            CHECK(o.out == a);
        }
        // Anything else after a stream is an error, once the stream is out in full.
        std::size_t pad = codecs::zero_padding_unit(c) != 0 ? zeros.size() : 0;
        std::vector<std::string> tails = {"x", "garbage after", std::string("\x1f\x8b", 2), "BZh9"};
        for (Codec other : available())
            if (other != c) tails.push_back(encode(other, b));
        for (const std::string& tail : tails) {
            if (codecs::codec_by_magic(tail) == c) continue;
            for (const std::string& bytes : {ea + tail, ea + zeros.substr(0, pad) + tail}) {
                Outcome o = decode(c, bytes, {65536}, true);
                CHECK(o.error && o.error->kind == IoError::Kind::Corrupt);
                CHECK(o.error && o.error->offset == bytes.size() - tail.size());
                CHECK(o.out == a);
            }
        }
    }
}

TEST(compressed_xz_padding_is_whole_four_byte_words) {
    // xz keeps its streams four-byte aligned: padding of another length is
    // damage, found where the padding ends (at the end of the file, or where
    // the next stream begins).
    if (!codecs::make_encoder(Codec::Xz) || !codecs::make_decoder(Codec::Xz)) return;
    const std::string a = json_like(5000, 6), ea = encode(Codec::Xz, a);
    for (std::size_t zeros = 1; zeros <= 13; ++zeros) {
        const std::string pad(zeros, '\0');
        for (const std::string& bytes : {ea + pad, ea + pad + ea}) {
            Context ctx{std::to_string(zeros) + " zeros, " + std::to_string(bytes.size()) + " bytes"};
            // Small inner reads put the padding across refills of the buffer.
            for (std::size_t chunk : {std::size_t{3}, std::size_t{1} << 20}) {
                Outcome o = decode(Codec::Xz, bytes, {65536}, false, chunk);
                bool second = bytes.size() > ea.size() + zeros;
                if (zeros % 4 == 0) {
                    CHECK_EQ(mismatch(o, second ? a + a : a, bytes.size()), "");
                } else {
                    CHECK(o.error && o.error->kind == IoError::Kind::Corrupt);
                    CHECK(o.error && o.error->offset == ea.size() + zeros);
                    CHECK(o.out == a);
                }
            }
        }
    }
}

TEST(compressed_truncated_streams_fail_after_a_prefix) {
    const std::string small = json_like(600, 3), large = json_like(600000, 4);
    for (Codec c : available()) {
        for (const std::string* payload : {&small, &large}) {
            const std::string bytes = encode(c, *payload);
            std::size_t step = payload == &small ? 1 : bytes.size() / 23;
            for (std::size_t cut = 0; cut < bytes.size(); cut += step) {
                Context ctx{std::string(codecs::codec_name(c)) + " cut at " + std::to_string(cut) + " of " +
                            std::to_string(bytes.size())};
                // Near the end too, where only the trailer is missing.
                std::size_t at = cut + step >= bytes.size() ? bytes.size() - 1 : cut;
                for (bool ahead : {false, true}) {
                    if (ahead && payload == &small && cut % 17 != 0) continue;
                    Outcome o = decode(c, bytes.substr(0, at), {7, 65536}, ahead);
                    CHECK(o.error && o.error->kind == IoError::Kind::Truncated && o.error->offset == at);
                    CHECK(o.error && o.error->code == static_cast<int>(c));
                    CHECK(payload->compare(0, o.out.size(), o.out) == 0);
                }
            }
        }
        // A second stream cut short: its first bytes may not yet tell it from garbage.
        const std::string twice = encode(c, small) + encode(c, small);
        for (std::size_t at = twice.size() / 2 + 1; at < twice.size(); at += 3) {
            Outcome o = decode(c, twice.substr(0, at));
            CHECK(o.error && (o.error->kind == IoError::Kind::Truncated || o.error->kind == IoError::Kind::Corrupt));
            CHECK(o.out.size() >= small.size() && (small + small).compare(0, o.out.size(), o.out) == 0);
        }
    }
}

TEST(compressed_flipped_bytes_never_decode_as_success) {
    // Runs make back-references, which a changed byte sends out of reach
    // near the end of the input.
    const std::string runs = std::string(42, '\0') + std::string(60, '\xa9') + "XVVVVV" + std::string(40, '\0');
    const std::string large = json_like(100000, 5);
    for (Codec c : available()) {
        for (const std::string& small : {json_like(300, 10), runs}) {
            const std::string bytes = encode(c, small);
            for (std::size_t at = 0; at < bytes.size(); ++at)
                for (unsigned char mask : {0x01, 0x55}) {
                    std::string bad = bytes;
                    bad[at] = static_cast<char>(bad[at] ^ mask);
                    Context ctx{std::string(codecs::codec_name(c)) + " small, byte " + std::to_string(at) + " of " +
                                std::to_string(bad.size()) + " ^ " + std::to_string(mask)};
                    // A header field that no check covers (a gzip time stamp) may change unseen.
                    Outcome o = decode(c, bad, {4093}, at % 5 == 0);
                    CHECK(o.error ? o.error->offset <= bad.size() : o.out == small);
                }
        }
        const std::string big = encode(c, large);
        for (int i = 0; i < 24; ++i) {
            std::size_t at = big.size() / 4 + i * (big.size() / 2) / 24;
            for (unsigned char mask : {0x01, 0x80, 0xff}) {
                std::string bad = big;
                bad[at] = static_cast<char>(bad[at] ^ mask);
                Context ctx{std::string(codecs::codec_name(c)) + " byte " + std::to_string(at) + " ^ " +
                            std::to_string(mask)};
                // Streaming hands bytes out before the check at the end, so
                // only the verdict is certain.
                Outcome o = decode(c, bad, {4093}, i % 2 == 1);
                CHECK(o.error && (o.error->kind == IoError::Kind::Corrupt || o.error->kind == IoError::Kind::Truncated));
                CHECK(o.error && o.error->offset <= bad.size());
            }
        }
    }
}

TEST(compressed_read_ahead_hands_out_bytes_then_the_error) {
    const std::string data = json_like(700000, 6);
    for (std::size_t fail_at : {std::size_t(0), std::size_t(1000), std::size_t(1) << 18, std::size_t(600001)}) {
        Context ctx{"failing at " + std::to_string(fail_at)};
        records::ReadAheadReader r(std::make_unique<MemReader>(data, 65536, true, fail_at), {});
        CHECK_EQ(r.size(), std::uint64_t(data.size()));
        CHECK(r.reopenable());
        Outcome o = drain(r, {5000, 1});
        CHECK(o.out == data.substr(0, fail_at));
        CHECK(o.error && o.error->kind == IoError::Kind::Os && o.error->code == EIO);
    }
}

TEST(compressed_read_ahead_stops_when_dropped_early) {
    // More than the reader holds ahead, so its thread is waiting for room.
    const std::string data = json_like(3 << 20, 7);
    for (std::size_t taken : {std::size_t(0), std::size_t(10), std::size_t(300000)}) {
        auto r = std::make_unique<records::ReadAheadReader>(std::make_unique<MemReader>(data, 1 << 20, true), records::InterpreterHooks{});
        std::string buf(taken, '\0');
        std::size_t have = 0;
        while (have < taken) {
            auto n = r->read(buf.data() + have, taken - have);
            CHECK(n && n.value() > 0);
            if (!n || n.value() == 0) break;
            have += n.value();
        }
        CHECK(buf == data.substr(0, taken));
        r.reset();  // must return: the thread is told to stop while it waits
    }
}
