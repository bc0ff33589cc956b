// Records.to_jsonl: each record checked, compacted and written on a line of
// its own to a Python file object.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/codecs/codec.hpp"
#include "python/gil.hpp"
#include "python/open/cursor.hpp"
#include "python/open/progress.hpp"

namespace qvtok::open {

// Where the lines go, behind a compressor when one is asked for: a file
// object's write method, or a file this sink opened from a path and writes
// with the system's own calls. The GIL, let go while records are gathered
// and compressed, is held only to call Python.
class Sink {
public:
    // To dest.write (borrowed).
    Sink(PyObject* write, std::unique_ptr<codecs::Encoder> encoder) : write_(write), encoder_(std::move(encoder)) {}
    // To the file at `path` (str, bytes or os.PathLike, borrowed), created
    // or emptied as open(path, "wb") does it, at commit(): a sink dropped
    // before it leaves no partial file.
    static Expected<std::unique_ptr<Sink>, CallError> open_path(PyObject* path, std::unique_ptr<codecs::Encoder> encoder);
    ~Sink();
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    Expected<Done, CallError> put(std::string_view text, GilRelease* free);
    Expected<Done, CallError> finish(GilRelease* free);
    // Closes the file a path named; raises what closing it raised.
    Expected<Done, CallError> close();
    // After close(): the file written takes the path's name.
    Expected<Done, CallError> commit();

private:
    Expected<Done, CallError> write_out(std::string_view bytes, GilRelease* free);
    // Compresses `piece` and writes what comes of it.
    Expected<Done, CallError> compress(std::string_view piece, GilRelease* free);
    // The encoder's failure, raised with the GIL taken back.
    static CallError encode_error(Error error, GilRelease* free);

    PyObject* write_ = nullptr;  // borrowed
    int fd_ = -1;                // else this file, owned
    PyRef path_;                 // its name, for OSError
    std::string target_;         // that name in the file-system encoding
    std::string temp_;           // the name written under until commit(), if any
    bool made_ = false;          // written in place, and created by this sink
    bool committed_ = false;
    std::unique_ptr<codecs::Encoder> encoder_;
    std::string packed_;
};

// Writes the records of `settings` to `sink`, one compact line each, and
// ends it; the number of records written. The records before a broken one
// are written and the sink ended before its error is raised. `part_size`
// 0 lets it choose whether and how to cut the file for threads; else a
// file larger than that is cut into parts of about that size. `progress`
// is told of the input's bytes as they are written.
Expected<std::uint64_t, CallError> write_jsonl(Settings& settings, Sink& sink, std::uint64_t part_size,
                                               ProgressCall& progress);

}  // namespace qvtok::open
