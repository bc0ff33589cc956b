#include "core/json/split_read.hpp"

#include <algorithm>

#include "core/json/grammar.hpp"
#include "core/json/utf8.hpp"
#include "core/threads/core_watch.hpp"

namespace qvtok::json {

// A read that ended for a reason other than its text: only `interrupted`
// means anything.
constexpr JsonParseError kStopped{Syntax::EofValue, 0, 0, 0, true};

// The reader's sink on the reading thread: every value becomes an event.
struct RingSink {
    SplitRead& read;
    EventRing::Writer out;

    // Room that stays put until the events of one value, written next,
    // have been released: a filler and two events at most.
    char* keep(std::size_t n) { return read.decoded_.take(n, out.position() + 3, read.ring_); }

    // A string's bytes stay where they are when they are the text's;
    // decoded ones are kept aside.
    std::uint64_t address(std::string_view bytes) {
        const char* p = bytes.data();
        const std::string_view text = read.text_;
        if (!(p >= text.data() && p <= text.data() + text.size())) {
            char* kept = keep(bytes.size());
            if (!bytes.empty()) std::memcpy(kept, p, bytes.size());
            p = kept;
        }
        return reinterpret_cast<std::uintptr_t>(p);
    }

    // A non-ASCII string's characters at their final width: the building
    // thread then only copies them.
    template <class Unit>
    std::uint64_t characters(std::string_view bytes, std::size_t chars) {
        auto* units = reinterpret_cast<Unit*>(keep(chars * sizeof(Unit)));
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
        decode_utf8_into(p, p + bytes.size(), units, units + chars);
        return reinterpret_cast<std::uintptr_t>(units);
    }
    std::uint64_t head(Kind kind, std::size_t size) {
        return static_cast<std::uint64_t>(kind) | (static_cast<std::uint64_t>(size) << kSizeShift);
    }

    bool literal(Kind kind) { return out.put(static_cast<std::uint64_t>(kind), 0); }
    bool unsigned_int(std::uint64_t v) { return out.put(head(Kind::Unsigned, 0), v); }
    bool negative_int(std::int64_t v) { return out.put(head(Kind::Negative, 0), static_cast<std::uint64_t>(v)); }
    bool floating(double v) {
        std::uint64_t b;
        std::memcpy(&b, &v, sizeof b);
        return out.put(head(Kind::Float, 0), b);
    }
    // A float that converts fast goes as its parts: the conversion then
    // falls to the building thread, which on float-heavy texts waits for
    // this one.
    bool decimal(std::uint64_t significand, std::int64_t exponent, bool negative) {
        return out.put(head(Kind::Float, 0) | kDecimalBit | (negative ? kAsciiBit : 0) |
                           (static_cast<std::uint64_t>(exponent - detail::fast::kLemireLow) << kSizeShift),
                       significand);
    }
    bool big_int(std::string_view literal) { return out.put(head(Kind::BigInt, literal.size()), address(literal)); }
    bool string(std::string_view bytes, bool ascii) {
        if (ascii) return out.put(head(Kind::String, bytes.size()) | kAsciiBit, address(bytes));
        // Measured and decoded here, so that the building thread only copies.
        const Utf8Shape shape = utf8_shape(bytes);
        std::uint64_t units;
        switch (unit_width(shape.max_char)) {
            case 1: units = characters<std::uint8_t>(bytes, shape.chars); break;
            case 2: units = characters<std::uint16_t>(bytes, shape.chars); break;
            default: units = characters<std::uint32_t>(bytes, shape.chars); break;
        }
        return out.put_pair(Event{head(Kind::String, bytes.size()) | kShapeBit, units},
                            Event{shape.max_char, shape.chars});
    }
    bool key(std::string_view bytes, bool ascii) {
        const std::uint64_t at = address(bytes);
        std::uint64_t h = head(Kind::String, bytes.size()) | kKeyBit | (ascii ? kAsciiBit : 0);
        // Numbered here, so that the building thread finds the key's object
        // by its number instead of by its bytes. Only a key that is the
        // text's own bytes: the table keeps pointers to them, and a decoded
        // key's block is filled again once its events are released.
        const bool own = at == reinterpret_cast<std::uintptr_t>(bytes.data());
        const std::uint32_t id =
            own ? read.key_ids_.id(std::string_view(reinterpret_cast<const char*>(at), bytes.size())) : KeyIds::kNone;
        if (id != KeyIds::kNone) h |= kKeyIdBit | (std::uint64_t{id} << kKeyIdShift);
        return out.put(h, at);
    }
    bool close_array(std::size_t count) { return out.put(head(Kind::Array, count), 0); }
    bool close_object(std::size_t count) { return out.put(head(Kind::Object, count), 0); }
};

char* SplitRead::Decoded::take(std::size_t n, std::uint64_t until, const EventRing& ring) {
    constexpr std::size_t kBlock = std::size_t{64} << 10;
    used_ = (used_ + 3) & ~std::size_t{3};
    if (blocks_.empty() || used_ > blocks_.back().size || blocks_.back().size - used_ < n) {
        // The oldest block is filled again once nothing points into it;
        // otherwise a new one is made.
        if (!blocks_.empty() && blocks_.front().until <= ring.released() && blocks_.front().size >= n) {
            Block oldest = std::move(blocks_.front());
            blocks_.pop_front();
            blocks_.push_back(std::move(oldest));
        } else {
            const std::size_t size = std::max(kBlock, n);
            blocks_.push_back(Block{std::unique_ptr<char[]>(new char[size]), size, 0});
        }
        used_ = 0;
    }
    Block& block = blocks_.back();
    block.until = until;
    char* p = block.bytes.get() + used_;
    used_ += n;
    return p;
}

std::unique_ptr<SplitRead> SplitRead::start(std::string_view text, const ReadOptions& options) {
    std::unique_ptr<SplitRead> read(new SplitRead(text, options));
    if (!read->thread_.start([](void* r) { static_cast<SplitRead*>(r)->run(); }, read.get())) return nullptr;
    return read;
}

void SplitRead::run() {
    // Whether this thread had a core to itself: if not, the next texts are
    // read on the caller's thread for a while.
    threads::CoreWatch watch;
    struct Report {
        threads::CoreWatch& watch;
        const EventRing& ring;
        ~Report() {
            watch.waited(ring.writer_waited());
            watch.report();
        }
    } report{watch, ring_};
    RingSink sink{*this, EventRing::Writer(ring_)};
    try {
        fault_ = read_json_into(text_, sink, options_, nullptr);
    } catch (const std::bad_alloc&) {
        out_of_memory_ = true;
        fault_ = kStopped;
    } catch (...) {
        // Handed to the caller's thread by the join; the ring ends here.
        sink.out.finish();
        throw;
    }
    sink.out.finish();
}

std::optional<JsonParseError> SplitRead::stopped() {
    ring_.stop();
    thread_.join();
    return kStopped;
}

SplitRead::~SplitRead() {
    // Stopped first, in case the caller left before the read's end.
    ring_.stop();
    thread_.join();
}

}  // namespace qvtok::json
