// A byte source in memory for the tests and fuzzers of the core.
#pragma once

#include <cerrno>
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "core/records/source.hpp"

namespace qvtok::test {

// Bytes in memory, handed out at most `chunk` at a time. `file_like` makes
// it pass for a regular file, so that decompressing_reader reads it ahead;
// `fail_at` makes reads fail with EIO once that many bytes are out.
class MemReader final : public records::ByteReader {
public:
    explicit MemReader(std::string data, std::size_t chunk = 1 << 20, bool file_like = false,
                       std::optional<std::size_t> fail_at = {})
        : data_(std::move(data)), chunk_(chunk), file_like_(file_like), end_(fail_at.value_or(data_.size())) {}
    Expected<std::size_t, records::IoError> read(char* dst, std::size_t n) override {
        if (pos_ == end_ && end_ < data_.size()) return records::IoError::os(EIO);
        std::size_t take = std::min({n, chunk_, end_ - pos_});
        data_.copy(dst, take, pos_);
        pos_ += take;
        return take;
    }
    std::uint64_t size() const override { return data_.size(); }
    bool reopenable() const override { return file_like_; }
    bool readable_off_thread() const override { return file_like_; }

private:
    std::string data_;
    std::size_t chunk_;
    bool file_like_;
    std::size_t end_;
    std::size_t pos_ = 0;
};

}  // namespace qvtok::test
