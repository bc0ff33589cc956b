#include "core/records/partition.hpp"

#include <string.h>

#include <cstring>

#include "core/json/whitespace.hpp"
#include "core/simd/kernels.hpp"

namespace qvtok::records {
namespace {

// Bytes read at a time while looking for the end of a line.
constexpr std::size_t kProbe = 1 << 16;

// Ends the last part at `resume.offset` and starts a new last one there,
// running to the end of the file.
void cut_at(std::vector<PartitionPlan>& parts, std::uint64_t size, Resume resume, bool record_known) {
    PartitionPlan part;
    part.offset = resume.offset;
    part.resume = resume;
    part.record_known = record_known;
    part.length = size - resume.offset;
    part.last = true;
    parts.back().length = resume.offset - parts.back().offset;
    parts.back().last = false;
    parts.push_back(part);
}

std::vector<PartitionPlan> whole_file(std::uint64_t size) {
    PartitionPlan part;
    part.length = size;
    part.record_known = true;
    part.last = true;
    return {part};
}

Expected<std::vector<PartitionPlan>> plan_lines(std::string_view path, std::uint64_t target, InterpreterHooks hooks) {
    auto opened = FileReader::open(path, hooks);
    if (!opened) return std::move(opened).error();
    auto& file = static_cast<FileReader&>(*opened.value());
    const std::uint64_t size = file.size();
    std::vector<PartitionPlan> parts = whole_file(size);
    std::unique_ptr<char[]> probe(new char[kProbe]);
    // The probe's bytes start at file offset `window`: partitions smaller
    // than the probe find their cuts in what it holds already.
    std::uint64_t window = 0;
    std::size_t held = 0;
    // A cut at `at` moves to the start of the line that holds byte `at`
    // when that is `at` itself, else to the next line.
    std::uint64_t at = target;
    while (at < size) {
        std::uint64_t scan = at - 1;
        std::uint64_t start = 0;
        while (start == 0 && scan < size) {
            if (scan < window || scan >= window + held) {
                if (hooks.poll != nullptr && hooks.poll() != 0) return Error::of(ErrorCode::Interrupted);
                auto got = file.read_at(probe.get(), kProbe, scan);
                if (!got) return got.error().to_error();
                if (got.value() == 0) break;
                window = scan;
                held = got.value();
            }
            const char* from = probe.get() + (scan - window);
            const std::size_t left = held - static_cast<std::size_t>(scan - window);
            const void* lf = std::memchr(from, '\n', left);
            if (lf != nullptr) start = scan + static_cast<std::uint64_t>(static_cast<const char*>(lf) - from) + 1;
            scan += left;
        }
        if (start == 0 || start >= size) break;  // the last line runs to the end
        Resume resume;
        resume.offset = start;
        cut_at(parts, size, resume, false);
        at = start + target;
    }
    return parts;
}

}  // namespace

// At scanning speed: commas at depth 1 found by the separator kernel,
// records told from blank elements (faults: the file is then one
// partition) by their first byte, lines counted block by block.
Expected<bool> scan_array_partitions(std::string_view path, std::uint64_t target, InterpreterHooks hooks,
                                     const std::function<bool(const PartitionPlan&)>& ready) {
    auto opened = FileReader::open(path, hooks);
    if (!opened) return std::move(opened).error();
    const std::uint64_t size = opened.value()->size();
    return scan_array_partitions(*opened.value(), size, target, hooks, ready);
}

Expected<bool> scan_array_partitions(ByteReader& file, std::uint64_t size, std::uint64_t target,
                                     InterpreterHooks hooks, const std::function<bool(const PartitionPlan&)>& ready) {
    std::vector<PartitionPlan> parts = whole_file(size);
    constexpr std::size_t kBlock = 1 << 20;
    std::unique_ptr<char[]> block(new char[kBlock]);
    enum class Phase { Before, Looking, Inside, After } phase = Phase::Before;
    simd::ArrayState state;
    std::uint64_t base = 0;            // file offset of the block
    std::size_t counted = 0;           // bytes of the block whose line feeds are counted
    std::uint64_t lines_before = 0;    // line feeds before base + counted
    std::uint64_t last_lf = 0;         // 1 + offset of the last line feed before base + counted; 0: none
    std::uint64_t records = 0;         // records begun so far
    std::uint64_t next_cut = target;
    // Line feeds are counted up to each cut as the scan passes it, so that
    // small partitions cost no recount of the block.
    auto count_to = [&](const char* b, std::size_t to) {
        lines_before += simd::count_line_feeds(b + counted, to - counted);
        if (const void* lf = ::memrchr(b + counted, '\n', to - counted))
            last_lf = base + static_cast<std::uint64_t>(static_cast<const char*>(lf) - b) + 1;
        counted = to;
    };
    for (;;) {
        // The reads look for signals only when one breaks into them: a
        // signal that comes while a block is scanned waits for this.
        if (hooks.poll != nullptr && hooks.poll() != 0) return Error::of(ErrorCode::Interrupted);
        auto got = file.read(block.get(), kBlock);
        if (!got) return got.error().to_error();
        const std::size_t n = got.value();
        if (n == 0) break;
        const char* b = block.get();
        std::size_t i = 0;
        while (i < n) {
            if (phase == Phase::Before || phase == Phase::Looking || phase == Phase::After) {
                while (i < n && json::is_json_space(static_cast<unsigned char>(b[i]))) ++i;
                if (i == n) break;
                const unsigned char c = static_cast<unsigned char>(b[i]);
                if (phase == Phase::After) return false;  // text after the array
                if (phase == Phase::Before) {
                    if (c != '[') return false;
                    phase = Phase::Looking;
                    ++i;
                    continue;
                }
                if (c >= 0x80) return false;  // may be White_Space: a blank element
                // A blank element is a record error, which only a read of the
                // whole can number: "[,", ",," or ",]". An empty array is not.
                if (c == ',' || (c == ']' && records > 0)) return false;
                if (c != ']') ++records;
                phase = Phase::Inside;
            }
            simd::Found found = simd::find_separator(b + i, n - i, state);
            if (found.stop == simd::Stop::More) {
                i = n;
                break;
            }
            if (found.stop != simd::Stop::Comma && found.stop != simd::Stop::Close) return false;
            i += found.offset + 1;
            if (found.stop == simd::Stop::Close) {
                phase = Phase::After;
                continue;
            }
            phase = Phase::Looking;
            const std::uint64_t at = base + i;
            if (at < next_cut) continue;
            count_to(b, i);
            Resume resume{at, records, lines_before + 1, at - last_lf + 1, true};
            cut_at(parts, size, resume, true);
            if (!ready(parts[parts.size() - 2])) return false;
            next_cut = at + target;
        }
        count_to(b, n);
        base += n;
        counted = 0;
    }
    if (phase != Phase::After) return false;  // never closed, or empty
    if (base != size) return false;              // the file is not the size that the parts were cut to
    return ready(parts.back());
}

namespace {

Expected<std::vector<PartitionPlan>> plan_array(std::string_view path, const StreamRules& rules, std::uint64_t target,
                                                InterpreterHooks hooks) {
    {
        auto file = FileReader::open(path, hooks);
        if (!file) return std::move(file).error();
        if (file.value()->size() <= target) return whole_file(file.value()->size());
    }
    if (!rules.at || rules.at->segments.empty()) {
        std::vector<PartitionPlan> parts;
        auto fast = scan_array_partitions(path, target, hooks, [&](const PartitionPlan& p) {
            parts.push_back(p);
            return true;
        });
        if (!fast) return std::move(fast).error();
        if (fast.value()) return parts;
    }
    auto source = RecordSource::open(path, hooks, RecordStream::buffer_size(RecordFormat::Json));
    if (!source) return std::move(source).error();
    StreamRules scan = rules;
    scan.output = Output::Raw;
    scan.check_after_array = true;
    scan.allow_unclosed_array = false;
    RecordStream stream = RecordStream::adopt(std::move(source).value(), RecordFormat::Json, scan);
    const std::uint64_t size = stream.total_bytes();
    std::vector<PartitionPlan> parts = whole_file(size);
    if (size <= target) return parts;
    if (rules.at)
        for (const PointerSegment& segment : rules.at->segments)
            if (segment.any) return parts;  // records in several containers
    std::vector<PartitionPlan> cut = parts;
    std::uint64_t next_cut = target;
    for (;;) {
        auto slot = stream.next_slot();
        if (!slot) {
            // A fault in the structure: only a reader of the whole file
            // tells it as it should be told.
            if (slot.error().code == ErrorCode::ReadFailed || slot.error().code == ErrorCode::Interrupted)
                return std::move(slot).error();
            return parts;
        }
        const Slot& s = slot.value();
        if (s.kind == Slot::Kind::End) break;
        if (s.keyed) return parts;  // members of an object: each needs its key
        if (!stream.after_comma() || stream.position() < next_cut) continue;
        std::uint64_t at = stream.position();
        RecordStream::FilePos place = stream.locate(at);
        cut_at(cut, size, Resume{at, stream.records_out(), place.line, place.column, true}, true);
        next_cut = at + target;
    }
    return cut;
}

}  // namespace

Expected<std::vector<PartitionPlan>> plan_partitions(std::string_view path, RecordFormat format,
                                                      const StreamRules& rules, std::uint64_t target,
                                                      InterpreterHooks hooks) {
    if (target == 0) target = 1;
    if (format == RecordFormat::Jsonl) return plan_lines(path, target, hooks);
    return plan_array(path, rules, target, hooks);
}

Expected<RecordStream> open_partition(std::string_view path, RecordFormat format, StreamRules rules,
                                      const PartitionPlan& part, InterpreterHooks hooks) {
    auto reader = RangeReader::open(path, part.offset, part.length, hooks);
    if (!reader) return std::move(reader).error();
    return part_stream(std::move(reader).value(), format, rules, part, hooks);
}

RecordStream part_stream(std::unique_ptr<ByteReader> reader, RecordFormat format, StreamRules rules,
                         const PartitionPlan& part, InterpreterHooks hooks) {
    RecordSource source(std::move(reader), hooks, RecordStream::buffer_size(format));
    RecordStream stream = RecordStream::resume(std::move(source), format, rules, part.resume);
    // An array's part ends at the comma after its last element, which the
    // stream would otherwise read as an array cut short.
    if (!part.last) stream.stop_at(part.offset + part.length);
    return stream;
}

}  // namespace qvtok::records
