#include "core/records/source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/codecs/codec.hpp"
#include "core/threads/budget.hpp"
#include "core/threads/core_watch.hpp"
#include "core/threads/job_thread.hpp"

namespace qvtok::records {
namespace {

// Runs one system call with the interpreter released, and keeps its errno
// across the taking back.
template <class Call>
auto released(const InterpreterHooks& hooks, int& code, Call call) {
    void* token = hooks.release != nullptr ? hooks.release() : nullptr;
    auto result = call();
    code = errno;
    if (hooks.reacquire != nullptr) hooks.reacquire(token);
    return result;
}

}  // namespace

Error IoError::to_error() const {
    switch (kind) {
        case Kind::Utf8: return Error::of(ErrorCode::InvalidUtf8);
        case Kind::Interrupted: return Error::of(ErrorCode::Interrupted);
        case Kind::Forked: return Error::of(ErrorCode::Forked);
        case Kind::Corrupt:
        case Kind::Truncated: {
            Error e = Error::of(kind == Kind::Corrupt ? ErrorCode::CorruptCompressed : ErrorCode::TruncatedCompressed);
            e.subject = codecs::codec_name(static_cast<codecs::Codec>(code));
            e.offset = offset;
            e.detail = detail;
            return e;
        }
        case Kind::Os: break;
    }
    return Error::os(ErrorCode::ReadFailed, code);
}

Expected<std::size_t, IoError> PrefixedReader::read(char* dst, std::size_t n) {
    if (pos_ < prefix_.size()) {
        std::size_t take = std::min(n, prefix_.size() - pos_);
        std::memcpy(dst, prefix_.data() + pos_, take);
        pos_ += take;
        if (pos_ == prefix_.size()) std::string().swap(prefix_), pos_ = 0;
        return take;
    }
    return inner_->read(dst, n);
}

Expected<std::unique_ptr<ByteReader>> FileReader::open(std::string_view path, InterpreterHooks hooks) {
    auto fail = [&](int code) {
        Error e = Error::os(ErrorCode::CannotOpen, code);
        e.subject = path;
        return e;
    };
    // A NUL would cut the name short: no such file can be meant.
    if (path.find('\0') != std::string_view::npos) return fail(0);
    std::string z(path);
    int fd;
    for (;;) {
        // A named pipe blocks here until a writer comes.
        int code = 0;
        fd = released(hooks, code, [&] { return ::open(z.c_str(), O_RDONLY | O_CLOEXEC, 0666); });
        if (fd >= 0) break;
        if (code != EINTR) return fail(code);
        if (hooks.poll != nullptr && hooks.poll() != 0) return Error::of(ErrorCode::Interrupted);
    }
    try {
        return std::unique_ptr<ByteReader>(new FileReader(fd, hooks));
    } catch (...) {
        ::close(fd);
        throw;
    }
}

FileReader::FileReader(int fd, InterpreterHooks hooks) : fd_(fd), hooks_(hooks) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) at_ = 0;
}

FileReader::~FileReader() {
    ::close(fd_);  // nothing was written, so a failed close loses nothing
}

Expected<std::size_t, IoError> FileReader::read(char* dst, std::size_t n) {
    if (at_) {
        auto got = read_at(dst, n, *at_);
        if (got) *at_ += got.value();
        return got;
    }
    for (;;) {
        int code = 0;
        ssize_t got = released(hooks_, code, [&] { return ::read(fd_, dst, n); });
        if (got >= 0) return static_cast<std::size_t>(got);
        if (code != EINTR) return IoError::os(code);
        // Let Python run its handlers (Ctrl-C); stop if one raised.
        if (hooks_.poll != nullptr && hooks_.poll() != 0) return IoError::interrupted();
    }
}

namespace {

// The part of a read that another thread makes: pread until it is full or
// the file ends. It reaches no interpreter, so it knows no signal handler
// and simply repeats a call that a signal interrupted.
struct FilePart {
    int fd;
    char* dst;
    std::size_t n;
    std::uint64_t at;
    std::size_t got = 0;

    static void run(void* self) {
        auto* part = static_cast<FilePart*>(self);
        while (part->got < part->n) {
            const ssize_t r = ::pread(part->fd, part->dst + part->got, part->n - part->got,
                                      static_cast<off_t>(part->at + part->got));
            if (r > 0) {
                part->got += static_cast<std::size_t>(r);
            } else if (r == 0 || errno != EINTR) {
                return;
            }
        }
    }
};

// Below this handing half the copy to another thread saves less than it
// costs: measured, a file of 630 KiB lost by it and one of 1.7 MiB gained.
constexpr std::size_t kParallelFrom = std::size_t{1} << 20;

}  // namespace

Expected<std::size_t, IoError> FileReader::read_in_parallel(char* dst, std::size_t n) {
    if (n < kParallelFrom || threads::allowed() < 2 || !threads::second_core_free() || !at_) return read(dst, n);
    const std::uint64_t at = *at_;
    const std::size_t half = (n / 2) & ~std::size_t{4095};
    FilePart part{fd_, dst + half, n - half, at + half};
    threads::JobThread thread;
    if (!thread.start(FilePart::run, &part)) return read(dst, n);
    std::size_t got = 0;
    while (got < half) {
        auto r = read(dst + got, half - got);
        if (!r) {
            thread.join();
            return r;
        }
        if (r.value() == 0) break;
        got += r.value();
    }
    thread.join();
    // Short of the other part, the reads that follow start where this one
    // stopped.
    const std::size_t total = got < half ? got : half + part.got;
    *at_ = at + total;
    return total;
}

Expected<std::size_t, IoError> FileReader::read_at(char* dst, std::size_t n, std::uint64_t offset) {
    for (;;) {
        int code = 0;
        ssize_t got = released(hooks_, code, [&] { return ::pread(fd_, dst, n, static_cast<off_t>(offset)); });
        if (got >= 0) return static_cast<std::size_t>(got);
        if (code != EINTR) return IoError::os(code);
        if (hooks_.poll != nullptr && hooks_.poll() != 0) return IoError::interrupted();
    }
}

Expected<std::unique_ptr<ByteReader>> RangeReader::open(std::string_view path, std::uint64_t offset,
                                                        std::uint64_t length, InterpreterHooks hooks) {
    auto file = FileReader::open(path, hooks);
    if (!file) return std::move(file).error();
    std::unique_ptr<FileReader> owned(static_cast<FileReader*>(file.value().release()));
    return std::unique_ptr<ByteReader>(new RangeReader(std::move(owned), offset, length));
}

Expected<std::size_t, IoError> RangeReader::read(char* dst, std::size_t n) {
    std::uint64_t left = end_ - next_;
    if (left == 0 || n == 0) return std::size_t{0};
    auto got = file_->read_at(dst, static_cast<std::size_t>(std::min<std::uint64_t>(n, left)), next_);
    if (got) next_ += got.value();
    return got;
}

std::uint64_t FileReader::size() const {
    struct statx st;
    if (::statx(fd_, "", AT_EMPTY_PATH, STATX_SIZE, &st) == 0 && (st.stx_mask & STATX_SIZE))
        return st.stx_size;
    struct stat64 old;
    if (::fstat64(fd_, &old) == 0) return static_cast<std::uint64_t>(old.st_size);
    return 0;
}

bool FileReader::reopenable() const {
    struct stat64 st;
    return ::fstat64(fd_, &st) == 0 && S_ISREG(st.st_mode);
}

Expected<RecordSource> RecordSource::open(std::string_view path, InterpreterHooks hooks, std::size_t buffer_size) {
    auto reader = FileReader::open(path, hooks);
    if (!reader) return std::move(reader).error();
    return RecordSource(std::move(reader).value(), hooks, buffer_size);
}

RecordSource::RecordSource(std::unique_ptr<ByteReader> reader, InterpreterHooks hooks, std::size_t buffer_size)
    : reader_(std::move(reader)), hooks_(hooks), buffer_(new char[buffer_size]), capacity_(buffer_size) {}

void RecordSource::look_at_first(const char* bytes, std::size_t n) {
    looked_ = true;
    first_codec_ = codecs::codec_by_magic(std::string_view(bytes, n));
}

Expected<std::size_t, IoError> RecordSource::read(char* dst, std::size_t n) {
    if (pos_ == filled_) {
        if (n >= capacity_) {
            auto got = reader_->read(dst, n);
            if (got && !looked_) look_at_first(dst, got.value());
            return got;
        }
        auto got = reader_->read(buffer_.get(), capacity_);
        if (!got) return got;
        pos_ = 0;
        filled_ = got.value();
        if (!looked_) look_at_first(buffer_.get(), filled_);
    }
    std::size_t take = filled_ - pos_ < n ? filled_ - pos_ : n;
    std::memcpy(dst, buffer_.get() + pos_, take);
    pos_ += take;
    return take;
}

Expected<std::size_t, IoError> RecordSource::read_in_parallel(char* dst, std::size_t n) {
    if (pos_ != filled_ || n < capacity_) return read(dst, n);
    auto got = reader_->read_in_parallel(dst, n);
    if (got && !looked_) look_at_first(dst, got.value());
    return got;
}

Expected<std::string_view, IoError> RecordSource::fill() {
    if (pos_ == filled_) {
        auto got = reader_->read(buffer_.get(), capacity_);
        if (!got) return got.error();
        pos_ = 0;
        filled_ = got.value();
        if (!looked_) look_at_first(buffer_.get(), filled_);
    }
    return std::string_view(buffer_.get() + pos_, filled_ - pos_);
}

}  // namespace qvtok::records
