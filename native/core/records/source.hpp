// Byte sources: an opened input with its buffered reader. Plain C++: the interpreter is
// reached only through the hooks that the caller hands in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/codecs/codec.hpp"
#include "core/error.hpp"
#include "core/hooks.hpp"

namespace qvtok::records {

using qvtok::InterpreterHooks;

// Why a read failed.
struct IoError {
    enum class Kind : std::uint8_t {
        Os,         // `code` is errno
        Utf8,
        Interrupted,
        Corrupt,    // compressed data that does not decode: `code` is the codec
        Truncated,  // compressed data that ends before its stream does: `code` is the codec
        Forked,     // the thread that read ahead is not in this child of fork
    };
    Kind kind;
    int code = 0;
    // For compressed data: where the fault is, in bytes of the compressed
    // file, and the decoder's own word for it (static text).
    std::uint64_t offset = 0;
    const char* detail = nullptr;

    static IoError os(int code) { return {Kind::Os, code}; }
    static IoError utf8() { return {Kind::Utf8, 0}; }
    static IoError interrupted() { return {Kind::Interrupted, 0}; }
    static IoError forked() { return {Kind::Forked, 0}; }

    // ReadFailed, InvalidUtf8, Interrupted, CorruptCompressed,
    // TruncatedCompressed or Forked.
    Error to_error() const;
};

// Where the bytes of a record source come from: a file, and behind the same
// interface a decompressor or a Python file object.
class ByteReader {
public:
    virtual ~ByteReader() = default;
    // At most n bytes into dst; 0 at the end.
    virtual Expected<std::size_t, IoError> read(char* dst, std::size_t n) = 0;
    // As read(), for a large n: a reader that can reads part of it on
    // another thread meanwhile, which for a file in the page cache halves
    // the time of the copy.
    virtual Expected<std::size_t, IoError> read_in_parallel(char* dst, std::size_t n) { return read(dst, n); }
    // The size of what is read, in bytes; 0 when it cannot be known. For a
    // decompressor, the compressed file's size.
    virtual std::uint64_t size() const { return 0; }
    // True when opening the same name again gives the same bytes from their
    // start (a regular file, not a pipe).
    virtual bool reopenable() const { return false; }
    // How far through size() the reads have come, where that is not the
    // count of bytes handed out (a decompressor counts the compressed bytes
    // behind them); nothing otherwise.
    virtual std::optional<std::uint64_t> progress() const { return std::nullopt; }
    // True when read() needs no interpreter once detach_interpreter() has
    // run, so that another thread may call it.
    virtual bool readable_off_thread() const { return false; }
    virtual void detach_interpreter() {}
};

// Hands out `prefix` first, then what `inner` reads: the bytes that were
// looked at to decide how to read a source that cannot be read twice.
class PrefixedReader final : public ByteReader {
public:
    PrefixedReader(std::string prefix, std::unique_ptr<ByteReader> inner)
        : prefix_(std::move(prefix)), inner_(std::move(inner)) {}
    Expected<std::size_t, IoError> read(char* dst, std::size_t n) override;
    Expected<std::size_t, IoError> read_in_parallel(char* dst, std::size_t n) override {
        return pos_ < prefix_.size() ? read(dst, n) : inner_->read_in_parallel(dst, n);
    }
    std::uint64_t size() const override { return inner_->size(); }
    bool reopenable() const override { return inner_->reopenable(); }
    std::optional<std::uint64_t> progress() const override { return inner_->progress(); }
    bool readable_off_thread() const override { return inner_->readable_off_thread(); }
    void detach_interpreter() override { inner_->detach_interpreter(); }

private:
    std::string prefix_;
    std::size_t pos_ = 0;
    std::unique_ptr<ByteReader> inner_;
};

// A file descriptor, owned. A read that a signal interrupts is repeated once
// the handlers have run, and the interpreter is released while the system
// call waits.
class FileReader final : public ByteReader {
public:
    // Fails with CannotOpen.
    static Expected<std::unique_ptr<ByteReader>> open(std::string_view path, InterpreterHooks hooks);
    FileReader(int fd, InterpreterHooks hooks);
    // As read(), from `offset`, leaving the file position alone.
    Expected<std::size_t, IoError> read_at(char* dst, std::size_t n, std::uint64_t offset);
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    ~FileReader() override;

    Expected<std::size_t, IoError> read(char* dst, std::size_t n) override;
    // The second half of a large read comes from pread on another thread.
    // A part that falls short (the end of the file, or an error) is left
    // to the reads that follow, which meet that end or error themselves.
    Expected<std::size_t, IoError> read_in_parallel(char* dst, std::size_t n) override;
    std::uint64_t size() const override;
    bool reopenable() const override;
    bool readable_off_thread() const override { return true; }
    void detach_interpreter() override { hooks_ = {}; }

private:
    int fd_;
    InterpreterHooks hooks_;
    // Where the next read starts, for a regular file: read with pread, the
    // position is this object's own. A child of fork shares the
    // descriptor's position with its parent, and a pass open in both
    // would take each other's bytes. Empty for a pipe or a device.
    std::optional<std::uint64_t> at_;
};

// The bytes [offset, offset + length) of a file, read from its own
// descriptor: one partition of it. size() is `length` and progress() counts
// within it.
class RangeReader final : public ByteReader {
public:
    // Fails with CannotOpen.
    static Expected<std::unique_ptr<ByteReader>> open(std::string_view path, std::uint64_t offset,
                                                      std::uint64_t length, InterpreterHooks hooks);
    RangeReader(std::unique_ptr<FileReader> file, std::uint64_t offset, std::uint64_t length)
        : file_(std::move(file)), next_(offset), end_(offset + length), length_(length) {}

    Expected<std::size_t, IoError> read(char* dst, std::size_t n) override;
    std::uint64_t size() const override { return length_; }
    bool reopenable() const override { return true; }
    std::optional<std::uint64_t> progress() const override { return length_ - (end_ - next_); }
    bool readable_off_thread() const override { return true; }
    void detach_interpreter() override { file_->detach_interpreter(); }

private:
    std::unique_ptr<FileReader> file_;  // owns the descriptor and its interrupt handling
    std::uint64_t next_;
    std::uint64_t end_;
    std::uint64_t length_;
};

// A byte reader with a read buffer, from which the scanners take bytes.
class RecordSource {
public:
    static constexpr std::size_t kBufferSize = 8192;

    // A FileReader of `path`. Fails with CannotOpen.
    static Expected<RecordSource> open(std::string_view path, InterpreterHooks hooks,
                                       std::size_t buffer_size = kBufferSize);

    RecordSource(std::unique_ptr<ByteReader> reader, InterpreterHooks hooks,
                 std::size_t buffer_size = kBufferSize);
    RecordSource(RecordSource&&) noexcept = default;
    RecordSource& operator=(RecordSource&&) noexcept = default;

    // Buffered read of at most n bytes; 0 at the end.
    Expected<std::size_t, IoError> read(char* dst, std::size_t n);
    // The same, for a large n, read in parallel where the reader can.
    Expected<std::size_t, IoError> read_in_parallel(char* dst, std::size_t n);

    // The buffered bytes, refilled with one read when empty; empty at EOF.
    Expected<std::string_view, IoError> fill();
    void consume(std::size_t k) { pos_ += k; }

    // Size of what is read; 0 when it cannot be known.
    std::uint64_t file_size() const { return reader_->size(); }
    // See ByteReader::progress.
    std::optional<std::uint64_t> progress() const { return reader_->progress(); }
    // Whether reads need the interpreter only through the hooks (not a
    // Python file object).
    bool readable_off_thread() const { return reader_->readable_off_thread(); }

    // The codec whose magic the first bytes read carry, for an error that
    // should say the input is compressed; nothing when they carry none.
    std::optional<codecs::Codec> first_bytes_codec() const { return first_codec_; }

    // False for pipes, terminals, sockets and file objects: what cannot be
    // opened a second time at its start.
    bool is_regular() const { return reader_->reopenable(); }

    // Runs signal handlers between blocks of a long loop; true when one
    // raised and the loop must stop.
    bool interrupted() const { return hooks_.poll != nullptr && hooks_.poll() != 0; }
    // From here on reads reach no interpreter, so that another thread may
    // make them; only for a source readable_off_thread().
    void detach_interpreter() {
        hooks_ = {};
        reader_->detach_interpreter();
    }

private:
    std::unique_ptr<ByteReader> reader_;
    InterpreterHooks hooks_;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t pos_ = 0;
    std::size_t filled_ = 0;
    bool looked_ = false;  // at the first bytes, for first_codec_
    std::optional<codecs::Codec> first_codec_;

    void look_at_first(const char* bytes, std::size_t n);
};

}  // namespace qvtok::records
