// An opened input file with its buffered reader. Plain C++: the interpreter is
// reached only through the hooks that the caller hands in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/error.hpp"

namespace qvtok::records {

// How a read reaches the interpreter that called it. Any member may be null.
struct SignalPoll {
    // Runs pending signal handlers; nonzero when one of them raised, which
    // ends the operation with that exception. PyErr_CheckSignals has this
    // shape.
    int (*poll)() = nullptr;
    // Called around each system call that may block (open, read): `release`
    // lets other threads run meanwhile, `reacquire` takes back what it
    // returned. Between the two, the source touches nothing but the file
    // descriptor and the bytes it reads into.
    void* (*release)() = nullptr;
    void (*reacquire)(void*) = nullptr;
};

// Why a read failed.
struct IoError {
    enum class Kind : std::uint8_t { Os, Utf8, Interrupted };
    Kind kind;
    int code;  // errno for Os

    static IoError os(int code) { return {Kind::Os, code}; }
    static IoError utf8() { return {Kind::Utf8, 0}; }
    static IoError interrupted() { return {Kind::Interrupted, 0}; }

    // ReadFailed, InvalidUtf8 or Interrupted.
    Error to_error() const;
};

class RecordSource {
public:
    static constexpr std::size_t kBufferSize = 8192;

    // Fails with CannotOpen.
    static Expected<RecordSource> open(std::string_view path, SignalPoll poll,
                                       std::size_t buffer_size = kBufferSize);

    RecordSource(RecordSource&& other) noexcept;
    RecordSource& operator=(RecordSource&& other) noexcept;
    RecordSource(const RecordSource&) = delete;
    RecordSource& operator=(const RecordSource&) = delete;
    ~RecordSource();

    // Buffered read of at most n bytes; 0 at the end of the file. A read that
    // a signal interrupts is repeated once the handlers have run. The
    // interpreter is released while the system call waits.
    Expected<std::size_t, IoError> read(char* dst, std::size_t n);

    // The buffered bytes, refilled with one read when empty; empty at EOF.
    Expected<std::string_view, IoError> fill();
    void consume(std::size_t k) { pos_ += k; }

    // Size of the open file; 0 when it cannot be queried.
    std::uint64_t file_size() const;

    // False for pipes, terminals and sockets: files that cannot be opened a
    // second time at their start.
    bool is_regular() const;

    // Runs signal handlers between blocks of a long loop; true when one
    // raised and the loop must stop.
    bool interrupted() const { return hooks_.poll != nullptr && hooks_.poll() != 0; }

private:
    RecordSource(int fd, SignalPoll hooks, std::size_t buffer_size);
    Expected<std::size_t, IoError> read_file(char* dst, std::size_t n);

    int fd_ = -1;
    SignalPoll hooks_;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t pos_ = 0;
    std::size_t filled_ = 0;
};

}  // namespace qvtok::records
