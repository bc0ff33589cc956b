#include "core/records/decompress.hpp"

#include <algorithm>
#include <cstring>

#include "core/records/read_ahead.hpp"
#include "core/threads/budget.hpp"
#include "core/threads/core_watch.hpp"

namespace qvtok::records {
namespace {

// Compressed bytes read from the file at a time.
constexpr std::size_t kInputBlock = 1 << 19;
// Decoded bytes asked of one decoder step: what a fault throws away is that
// step's output, so it stays small.
constexpr std::size_t kOutputStep = 1 << 18;

class DecompressingReader final : public ByteReader {
public:
    DecompressingReader(std::unique_ptr<ByteReader> compressed, codecs::Codec codec,
                        std::unique_ptr<codecs::Decoder> decoder)
        : inner_(std::move(compressed)), codec_(codec), decoder_(std::move(decoder)), input_(new unsigned char[kInputBlock]) {}

    Expected<std::size_t, IoError> read(char* dst, std::size_t n) override {
        if (failed_) return *failed_;
        if (n == 0) return std::size_t{0};
        auto* out = reinterpret_cast<unsigned char*>(dst);
        for (;;) {
            if (between_streams_) {
                auto next = start_next_stream();
                if (!next) return fail(next.error());
                if (!next.value()) return std::size_t{0};  // the end of the file, where a stream may end
            }
            if (pos_ == len_ && !at_eof_) {
                auto got = refill();
                if (!got) return got.error();
            }
            codecs::DecodeStep step = decoder_->step(input_.get() + pos_, len_ - pos_, out, std::min(n, kOutputStep));
            pos_ += step.consumed;
            consumed_ += step.consumed;
            if (step.state == codecs::DecodeStep::State::Corrupt) {
                // What the decoder made of the step that met the fault is not
                // handed out: its end may be decoded from the damage.
                IoError e{IoError::Kind::Corrupt, static_cast<int>(codec_), consumed_, step.detail};
                return fail(e);
            }
            if (step.state == codecs::DecodeStep::State::EndOfStream) between_streams_ = true;
            if (step.produced > 0) return step.produced;
            if (step.consumed == 0 && !between_streams_) {
                if (pos_ < len_) {
                    // The decoder wants more than the tail of the buffer.
                    if (at_eof_) return fail(truncated());
                    if (pos_ == 0 && len_ == kInputBlock)
                        return fail({IoError::Kind::Corrupt, static_cast<int>(codec_), consumed_, "invalid data"});
                    compact();
                    auto got = refill();
                    if (!got) return got.error();
                } else if (at_eof_) {
                    return fail(truncated());
                }
            }
        }
    }

    std::uint64_t size() const override { return inner_->size(); }
    bool reopenable() const override { return inner_->reopenable(); }
    std::optional<std::uint64_t> progress() const override { return consumed_; }
    bool readable_off_thread() const override { return inner_->readable_off_thread(); }
    void detach_interpreter() override { inner_->detach_interpreter(); }

private:
    IoError truncated() const { return {IoError::Kind::Truncated, static_cast<int>(codec_), consumed_, nullptr}; }

    IoError fail(IoError e) {
        // Os and Interrupted errors come from the file and may pass; a
        // stream that does not decode stays broken.
        if (e.kind == IoError::Kind::Corrupt || e.kind == IoError::Kind::Truncated) failed_ = e;
        return e;
    }

    void compact() {
        std::memmove(input_.get(), input_.get() + pos_, len_ - pos_);
        len_ -= pos_;
        pos_ = 0;
    }

    // Reads more compressed bytes behind those left in the buffer.
    Expected<bool, IoError> refill() {
        if (pos_ == len_) pos_ = len_ = 0;
        if (len_ == kInputBlock) compact();
        auto got = inner_->read(reinterpret_cast<char*>(input_.get()) + len_, kInputBlock - len_);
        if (!got) return got.error();
        if (got.value() == 0) at_eof_ = true;
        len_ += got.value();
        return got.value() > 0;
    }

    // After a stream ended: false at the end of the file, true when another
    // stream of the same codec starts, an error for anything else.
    Expected<bool, IoError> start_next_stream() {
        const std::size_t unit = codecs::zero_padding_unit(codec_);
        for (;;) {
            if (unit != 0)
                while (pos_ < len_ && input_[pos_] == 0) ++pos_, ++consumed_, ++padding_;
            if (len_ - pos_ >= codecs::kMagicBytes || (at_eof_ && pos_ < len_)) break;
            if (at_eof_) {
                if (!padding_fits(unit)) return padding_error();
                return false;
            }
            compact();
            auto got = refill();
            if (!got) return got.error();
        }
        std::string_view head(reinterpret_cast<const char*>(input_.get()) + pos_, len_ - pos_);
        if (codecs::codec_by_magic(head) != codec_)
            return IoError{IoError::Kind::Corrupt, static_cast<int>(codec_), consumed_,
                           "bytes after the end of the compressed stream"};
        if (!padding_fits(unit)) return padding_error();
        decoder_->restart();
        between_streams_ = false;
        padding_ = 0;
        return true;
    }

    bool padding_fits(std::size_t unit) const { return padding_ == 0 || padding_ % unit == 0; }

    // Reported where the padding ends, as xz itself does: only there is its
    // length known to be wrong.
    IoError padding_error() const {
        return {IoError::Kind::Corrupt, static_cast<int>(codec_), consumed_,
                "stream padding is not a multiple of four bytes"};
    }

    std::unique_ptr<ByteReader> inner_;
    codecs::Codec codec_;
    std::unique_ptr<codecs::Decoder> decoder_;
    std::unique_ptr<unsigned char[]> input_;
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    std::uint64_t consumed_ = 0;  // compressed bytes the decoder has taken
    bool at_eof_ = false;
    bool between_streams_ = false;
    std::uint64_t padding_ = 0;  // zero bytes since the last stream ended
    std::optional<IoError> failed_;
};

Error unavailable(codecs::Codec codec) {
    Error e = Error::of(ErrorCode::CodecUnavailable);
    e.subject = codecs::codec_name(codec);
    return e;
}

}  // namespace

Expected<std::unique_ptr<ByteReader>> inline_decompressing_reader(std::unique_ptr<ByteReader> compressed,
                                                                  codecs::Codec codec) {
    auto decoder = codecs::make_decoder(codec);
    if (!decoder) return unavailable(codec);
    return std::unique_ptr<ByteReader>(
        std::make_unique<DecompressingReader>(std::move(compressed), codec, std::move(decoder)));
}

Expected<std::unique_ptr<ByteReader>> decompressing_reader(std::unique_ptr<ByteReader> compressed,
                                                           codecs::Codec codec, InterpreterHooks hooks) {
    // Decompressed on a thread ahead of the caller, where the program lets
    // qvtok use one and a core has lately been free for it.
    bool ahead = compressed->readable_off_thread() && compressed->reopenable() && threads::allowed() > 1 &&
                 threads::second_core_free();
    auto reader = inline_decompressing_reader(std::move(compressed), codec);
    if (!reader || !ahead) return reader;
    reader.value()->detach_interpreter();
    return std::unique_ptr<ByteReader>(std::make_unique<ReadAheadReader>(std::move(reader).value(), hooks));
}

Expected<std::optional<codecs::Codec>, IoError> sniff_codec(ByteReader& reader, std::string& prefix) {
    prefix.clear();
    while (prefix.size() < codecs::kMagicBytes) {
        std::size_t had = prefix.size();
        prefix.resize(codecs::kMagicBytes);
        auto got = reader.read(prefix.data() + had, codecs::kMagicBytes - had);
        if (!got) {
            prefix.resize(had);
            return got.error();
        }
        prefix.resize(had + got.value());
        if (got.value() == 0) break;
    }
    return codecs::codec_by_magic(prefix);
}

}  // namespace qvtok::records
