#include "pcd/compressed_reader.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "pcd/lzf_stream.h"
#include "pcd/stream_io.h"
#include "pcd/strided_copy.h"
#include "pcd/thread_pool.h"

namespace vantrel {

// One field's plane in the decoded image.
struct CompressedSection::Plane {
    std::size_t field;    // in header.fields
    std::int64_t start;   // in the image
    std::int64_t width;   // bytes per point: SIZE x COUNT
    std::int64_t filled;  // bytes the image delivers of it (once the sizes are read)
    BulkMemory held;      // the plane, when decoded into memory of its own
    bool is_held = false;
    const std::uint8_t* data = nullptr;  // where the held plane is: its own memory, or the held image
};

namespace {

[[noreturn]] void decompression_failed() {
    throw DecompressionError();
}

[[noreturn]] void payload_cut(std::uint32_t declared, std::uint64_t present) {
    DecompressionError error;
    error.declared = declared;
    error.present = static_cast<std::int64_t>(present);
    throw error;
}

std::uint32_t little_endian_u32(const unsigned char* b) noexcept {
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
}

// Copies bytes [lo, hi) of one point's plane entry to its place in a record,
// keeping only what falls inside the record.
void put(std::uint8_t* record, std::int64_t step, std::int64_t offset, std::int64_t lo, std::int64_t hi,
         const std::uint8_t* src) noexcept {
    const std::int64_t from = std::max(lo, -offset);
    const std::int64_t to = std::min(hi, step - offset);
    if (to > from) std::memcpy(record + offset + from, src + (from - lo), static_cast<std::size_t>(to - from));
}

// Places the plane bytes [a, b) (plane offsets, at src) into records of
// `step` bytes that start with point `first`, the field at `offset`; point
// i's entry is bytes [i * width, (i + 1) * width) of the plane.
void place(const std::uint8_t* src, std::int64_t a, std::int64_t b, std::int64_t width, std::uint8_t* records,
           std::int64_t first, std::int64_t step, std::int64_t offset) noexcept {
    const bool inside = offset >= 0 && offset + width <= step;
    std::int64_t row = a / width - first;
    const std::int64_t col = a % width;
    if (col != 0) {  // the end of a point begun in an earlier piece
        const std::int64_t k = std::min(width - col, b - a);
        put(records + row * step, step, offset, col, col + k, src);
        src += k;
        a += k;
        ++row;
    }
    const std::int64_t rows = (b - a) / width;
    if (inside) {
        copy_rows(src, width, records + row * step + offset, step, width, rows);
    } else {
        for (std::int64_t i = 0; i < rows; ++i)
            put(records + (row + i) * step, step, offset, 0, width, src + i * width);
    }
    src += rows * width;
    row += rows;
    const std::int64_t tail = (b - a) % width;
    if (tail > 0) put(records + row * step, step, offset, 0, tail, src);  // the start of a point the next piece ends
}

}  // namespace

CompressedSection::CompressedSection(std::istream& in, const PcdHeader& header)
    : in_(in), header_(header), points_(std::max<std::int32_t>(header.points, 0)) {
    seekable_ = remaining_bytes(in) >= 0;
    start_ = seekable_ ? in.tellg() : std::istream::pos_type(-1);
    std::int64_t start = 0;
    for (std::size_t f = 0; f < header.fields.size(); ++f) {
        const PcdField& field = header.fields[f];
        if (is_padding_name(field.name) || field.count < 1 || field.size < 1) continue;
        Plane plane{f, start, field.bytes(), 0, BulkMemory(), false, nullptr};
        // A claim beyond 64 bits delivers nothing past the 32-bit image anyway.
        start = std::min<std::int64_t>(start + std::min<std::int64_t>(points_, INT64_MAX / plane.width) * plane.width,
                                       INT64_MAX / 2);
        planes_.push_back(std::move(plane));
    }
    report_.points_complete = points_;
    report_.data_end = header.data_offset;
}

CompressedSection::~CompressedSection() = default;

void CompressedSection::read_sizes() {
    unsigned char sizes[8];
    in_.read(reinterpret_cast<char*>(sizes), sizeof sizes);
    started_ = true;
    const auto got = static_cast<std::int64_t>(in_.gcount());
    if (got != static_cast<std::int64_t>(sizeof sizes)) {
        // An empty cloud may end before its size block, as some writers leave it.
        if (points_ == 0) {
            in_.clear();
            compressed_ = uncompressed_ = 0;
            report_.data_end = header_.data_offset + got;
            return;
        }
        DecompressionError error;
        error.sizes_present = got;
        throw error;
    }
    compressed_ = little_endian_u32(sizes);
    uncompressed_ = little_endian_u32(sizes + 4);
    // What each plane gets of an image that decodes to its declared size.
    for (Plane& plane : planes_) {
        plane.filled = std::clamp<std::int64_t>(std::int64_t{uncompressed_} - plane.start, 0, points_ * plane.width);
        report_.points_complete = std::min(report_.points_complete, plane.filled / plane.width);
    }
    report_.data_end = header_.data_offset + 8 + std::int64_t{compressed_};
}

void CompressedSection::seek_to_start() {
    if (!started_) return;
    if (!seekable_) {
        throw UnsupportedOperation(
            "the source cannot seek back to decode its compressed data again: choose every field the "
            "reads need in the first read, or open a seekable source");
    }
    in_.clear();
    in_.seekg(start_);
}

CompressedSection::DecodePlan CompressedSection::plan_decode(const std::vector<bool>& keep, bool into_records) {
    DecodePlan plan;
    // Planes from the image's first one on, none held yet: decoded in one
    // piece into memory that holds them all, without a window to copy from.
    plan.prefix = !into_records;
    bool gap = false;
    for (const Plane& plane : planes_) {
        plan.image = plane.start + points_ * plane.width;
        if (keep[plane.field]) {
            plan.last_needed = plane.start + plane.filled;
            plan.prefix = plan.prefix && !gap && !plane.is_held;
        } else {
            gap = true;
        }
    }
    const bool every_plane = std::all_of(planes_.begin(), planes_.end(), [&](const Plane& p) { return keep[p.field]; });
    plan.stop = every_plane ? UINT64_MAX : static_cast<std::uint64_t>(plan.last_needed);
    plan.capacity = static_cast<std::uint64_t>(std::min<std::int64_t>(plan.image, uncompressed_));
    if (!into_records && !plan.prefix) {
        for (Plane& plane : planes_) {
            if (keep[plane.field] && !plane.is_held)
                plane.held = BulkMemory(static_cast<std::size_t>(plane.filled), false);
        }
    }
    return plan;
}

std::size_t CompressedSection::read_payload(std::uint8_t* dst, std::size_t size) {
    in_.read(reinterpret_cast<char*>(dst), static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(in_.gcount());
}

// Nothing to decode, whatever the payload holds; it must be there all the same.
void CompressedSection::pass_payload() {
    BulkMemory scratch(std::size_t{1} << 16, false);
    for (std::uint64_t left = compressed_; left > 0;) {
        const std::size_t got =
            read_payload(scratch.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, 1 << 16)));
        if (got == 0) payload_cut(compressed_, compressed_ - left);
        left -= got;
    }
}

// Image bytes [at, at + size) into the held planes marked in `keep`.
void CompressedSection::hold(const std::vector<bool>& keep, const std::uint8_t* data, std::int64_t at,
                             std::size_t size) {
    const std::int64_t end = at + static_cast<std::int64_t>(size);
    for (Plane& plane : planes_) {
        if (!keep[plane.field] || plane.is_held) continue;
        const std::int64_t lo = std::max(at, plane.start);
        const std::int64_t hi = std::min(end, plane.start + plane.filled);
        if (lo < hi) {
            std::memcpy(plane.held.data() + (lo - plane.start), data + (lo - at), static_cast<std::size_t>(hi - lo));
        }
    }
}

// Runs the decoder as planned: into the records, the held image or the held
// planes, placing on a worker where that pays. `placed` says whether `chunk`
// was placed on the way.
LzfOutcome CompressedSection::run_decoder(const DecodePlan& plan, const std::vector<bool>& keep, const Rows* whole,
                                          const Rows* chunk, bool& placed) {
    const std::function<std::size_t(std::uint8_t*, std::size_t)> read = [this](std::uint8_t* dst, std::size_t size) {
        return read_payload(dst, size);
    };
    std::int64_t at = 0;  // where the next decoded byte lies in the image
    const std::function<void(const std::uint8_t*, std::size_t)> sink = [&](const std::uint8_t* data, std::size_t size) {
        if (whole != nullptr) {
            place_rows(*whole, data, at, at + static_cast<std::int64_t>(size));
        } else {
            hold(keep, data, at, size);
        }
        at += static_cast<std::int64_t>(size);
    };
    std::uint8_t* into = nullptr;
    if (plan.prefix) {
        held_image_ = BulkMemory(static_cast<std::size_t>(plan.capacity) + lzf_slack, false);
        into = held_image_.data();
    }
    // Placing is light beside decoding: handing it to a worker pays only
    // from a few MiB of image (measured: none at 2.5 MiB, 13 % at 5 MiB).
    constexpr std::int64_t placing_share = 4;
    ThreadPool& pool = ThreadPool::shared();
    // The decoding thread counts as in use throughout, and a worker places
    // only when one is free: loads from several threads at once each decode
    // on their own thread, without a second image and a placer each.
    const ThreadPool::Lease lease(pool, compressed_ != 0 && pool.worth_sharing(plan.image / placing_share) ? 1 : 0);
    const bool share = lease.helpers() > 0;
    if (share && whole != nullptr) return decode_placing(*whole, nullptr, plan.capacity, plan.stop, read);
    if (share && chunk != nullptr && into != nullptr) {
        placed = true;
        return decode_placing(*chunk, into, plan.capacity, plan.stop, read);
    }
    if (compressed_ == 0) return LzfOutcome{0, 0, true, false};
    if (into != nullptr) {
        return decode_lzf_stream(
            compressed_, plan.capacity, plan.stop, read, [](const std::uint8_t*, std::size_t) {}, into);
    }
    return decode_lzf_stream(compressed_, plan.capacity, plan.stop, read, sink);
}

void CompressedSection::check_outcome(const LzfOutcome& outcome) {
    if (outcome.cut) payload_cut(compressed_, outcome.taken);
    if (!outcome.ok) decompression_failed();
    if (outcome.stopped) {
        // The planes after the last one needed are not decoded; a payload
        // that the file cuts short is still refused where the file's size tells.
        const std::int64_t left = remaining_bytes(in_);
        if (left >= 0 && static_cast<std::uint64_t>(left) < compressed_ - outcome.taken) {
            payload_cut(compressed_, outcome.taken + static_cast<std::uint64_t>(left));
        }
    } else if (outcome.decoded != uncompressed_) {
        decompression_failed();
    }
}

bool CompressedSection::decode(const std::vector<bool>& keep, const Rows* whole, const Rows* chunk) {
    seek_to_start();
    read_sizes();
    const DecodePlan plan = plan_decode(keep, whole != nullptr);
    bool placed = false;
    if (uncompressed_ == 0) {
        pass_payload();
    } else {
        check_outcome(run_decoder(plan, keep, whole, chunk, placed));
    }
    if (whole == nullptr) {
        for (Plane& plane : planes_) {
            if (!keep[plane.field] || plane.is_held) continue;
            plane.is_held = true;
            // A plane the image gives nothing of has no memory to point into.
            if (plane.filled == 0) continue;
            plane.data = plan.prefix ? held_image_.data() + plane.start : plane.held.data();
        }
    }
    return placed;
}

void CompressedSection::place_rows(const Rows& rows, const std::uint8_t* src, std::int64_t lo, std::int64_t hi) const {
    for (const Plane& plane : planes_) {
        const std::int64_t to = rows.placement.offset[plane.field];
        if (to < 0) continue;
        const std::int64_t a = std::max(lo, plane.start + std::min(rows.first * plane.width, plane.filled));
        const std::int64_t b = std::min(hi, plane.start + std::min((rows.first + rows.n) * plane.width, plane.filled));
        if (a < b) {
            place(src + (a - lo), a - plane.start, b - plane.start, plane.width, rows.records, rows.first,
                  rows.placement.step, to);
        }
    }
}

LzfOutcome CompressedSection::decode_placing(const Rows& rows, std::uint8_t* into, std::uint64_t capacity,
                                             std::uint64_t stop,
                                             const std::function<std::size_t(std::uint8_t*, std::size_t)>& read) {
    // The image decodes in one piece on this thread, while the worker leased
    // places what is final of it into the records (and takes their faults).
    BulkMemory own(into == nullptr ? static_cast<std::size_t>(capacity) + lzf_slack : 0, false);
    std::uint8_t* const image = into != nullptr ? into : own.data();
    const auto place_range = [&](std::int64_t lo, std::int64_t hi) { place_rows(rows, image + lo, lo, hi); };
    std::mutex mutex;
    std::condition_variable told;
    std::int64_t ready = 0;  // bytes of the image that are final
    bool ended = false;
    std::int64_t placed = 0;  // by the worker, once it is done
    ThreadPool& pool = ThreadPool::shared();
    const std::shared_ptr<ThreadPool::Job> worker = pool.start([&] {
        std::int64_t done = 0;
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex);
            told.wait(lock, [&] { return ready > done || ended; });
            const std::int64_t upto = ready;
            const bool last = ended;
            lock.unlock();
            if (upto > done) {
                place_range(done, upto);
                done = upto;
            } else if (last) {
                break;
            }
        }
        placed = done;
    });
    // However decoding ends, the worker ends before the image goes.
    const auto end_worker = [&] {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            ended = true;
        }
        told.notify_one();
        if (!pool.finish(worker)) placed = 0;
    };
    LzfOutcome outcome;
    try {
        outcome = decode_lzf_stream(
            compressed_, capacity, stop, read,
            [&](const std::uint8_t*, std::size_t size) {
                {
                    const std::lock_guard<std::mutex> lock(mutex);
                    ready += static_cast<std::int64_t>(size);
                }
                told.notify_one();
            },
            image);
    } catch (...) {
        end_worker();
        throw;
    }
    end_worker();
    place_range(placed, static_cast<std::int64_t>(outcome.decoded));  // what the worker did not, if it never ran
    return outcome;
}

void CompressedSection::read(std::int64_t n, const Placement& placement, std::uint8_t* records, bool) {
    // A read of nothing decodes nothing, but for the whole of an empty cloud,
    // whose block is still checked.
    if (n <= 0 && !(n == 0 && points_ == 0 && !started_)) return;
    std::vector<bool> keep(header_.fields.size(), false);
    bool missing = false;
    for (const Plane& plane : planes_) {
        keep[plane.field] = placement.offset[plane.field] >= 0;
        missing = missing || (keep[plane.field] && !plane.is_held);
    }
    const std::int64_t first = position_;
    position_ += n;
    const Rows rows{placement, records, first, n};
    if (!started_ && first == 0 && n == points_) {  // every point at once: straight into the records
        decode(keep, &rows);
        return;
    }
    if (missing || !started_) {
        for (const Plane& plane : planes_) keep[plane.field] = keep[plane.field] || plane.is_held;
        if (decode(keep, nullptr, &rows)) return;
    }
    // From the held planes, in runs of rows side by side where that pays.
    ThreadPool& pool = ThreadPool::shared();
    const std::size_t runs = pool.worth_sharing(n * placement.step) ? static_cast<std::size_t>(pool.threads()) * 4 : 1;
    pool.run(runs, [&](std::size_t r) {
        const std::int64_t end = first + n * static_cast<std::int64_t>(r + 1) / static_cast<std::int64_t>(runs);
        // A few thousand records at a time, so that every field is placed while they are in cache.
        constexpr std::int64_t block = 4096;
        for (std::int64_t lo = first + n * static_cast<std::int64_t>(r) / static_cast<std::int64_t>(runs); lo < end;
             lo += block) {
            const std::int64_t hi = std::min(lo + block, end);
            for (const Plane& plane : planes_) {
                const std::int64_t to = placement.offset[plane.field];
                if (to < 0) continue;
                const std::int64_t a = std::min(lo * plane.width, plane.filled);
                const std::int64_t b = std::min(hi * plane.width, plane.filled);
                if (b > a) place(plane.data + a, a, b, plane.width, records, first, placement.step, to);
            }
        }
    });
}

void CompressedSection::skip(std::int64_t n) {
    position_ += std::max<std::int64_t>(n, 0);
}

bool CompressedSection::rewind() {
    // Held planes could serve it, but a stream that cannot seek moves forward
    // only, whatever its encoding.
    if (!seekable_) return false;
    position_ = 0;
    return true;
}

}  // namespace vantrel
