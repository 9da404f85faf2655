#include "pcd/binary_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "pcd/interrupt.h"
#include "pcd/stream_io.h"
#include "pcd/strided_copy.h"

namespace vantrel {
namespace {

constexpr std::int64_t window_bytes = std::int64_t{1} << 20;

}  // namespace

BinarySection::BinarySection(std::istream& in, const PcdHeader& header) : in_(in), header_(header) {
    const std::int64_t points = std::max<std::int32_t>(header.points, 0);
    const std::int64_t step = header.point_step;
    report_.points_complete = points;
    report_.data_end = header.data_offset;
    const std::int64_t available = remaining_bytes(in);
    seekable_ = available >= 0;
    start_ = seekable_ ? in.tellg() : std::istream::pos_type(-1);
    if (seekable_) held_ = step > 0 ? std::min(points, available / step) : points;
    if (step == 0) held_ = points;
}

std::int64_t BinarySection::take(std::uint8_t* dst, std::int64_t bytes) {
    const std::int64_t got = in_pieces(bytes, [&](std::int64_t at, std::int64_t size) {
        in_.read(reinterpret_cast<char*>(dst + at), static_cast<std::streamsize>(size));
        const auto came = static_cast<std::int64_t>(in_.gcount());
        if (came < size) in_.clear();  // at the end: later seeks must still work
        return came;
    });
    bytes_ += got;
    return got;
}

void BinarySection::account(std::int64_t point, std::int64_t got, std::int64_t wanted) {
    const std::int64_t step = header_.point_step;
    // A stream tells by ending; a file may also have been cut short since it
    // was opened, so a short read overrules what its size said then.
    if (got < wanted) held_ = std::min(held_ < 0 ? INT64_MAX : held_, point + got / step);
    // The read met the shortfall: from here on, the report has its figures.
    if (held_ >= 0 && point + wanted / std::max<std::int64_t>(step, 1) > held_) report_.points_complete = held_;
    report_.data_end = header_.data_offset + bytes_;
}

void BinarySection::read(std::int64_t n, const Placement& placement, std::uint8_t* records, bool zeroed) {
    const std::int64_t step = header_.point_step;
    if (n <= 0) return;
    if (step == 0) {
        position_ += n;
        return;
    }
    const std::int64_t first = position_;
    position_ += n;
    if (placement.whole) {
        const std::int64_t wanted = n * step;
        const std::int64_t got = take(records, wanted);
        if (got < wanted && !zeroed) std::memset(records + got, 0, static_cast<std::size_t>(wanted - got));
        account(first, got, wanted);
        return;
    }
    // Chosen fields: whole records through the window, the kept bytes copied out.
    const std::int64_t rows = std::max<std::int64_t>(1, window_bytes / step);
    // Sized for this read: a later read may want more rows than the first did.
    const auto needed = static_cast<std::size_t>(std::min(rows, n) * step);
    if (window_.size() < needed) window_ = BulkMemory(needed, false);
    std::int64_t got_all = 0;
    for (std::int64_t done = 0; done < n;) {
        const std::int64_t m = std::min(rows, n - done);
        const std::int64_t got = take(window_.data(), m * step);
        got_all += got;
        const std::int64_t full = got / step;
        const std::int64_t part = got % step;
        std::uint8_t* const out = records + done * placement.step;
        for (std::size_t f = 0; f < header_.fields.size(); ++f) {
            const std::int64_t to = placement.offset[f];
            if (to < 0) continue;
            const PcdField& field = header_.fields[f];
            const std::int64_t width = field.bytes();
            copy_rows(window_.data() + field.offset, step, out + to, placement.step, width, full);
            const std::int64_t tail = std::clamp<std::int64_t>(part - field.offset, 0, width);
            if (tail > 0) {
                std::memcpy(out + full * placement.step + to, window_.data() + full * step + field.offset,
                            static_cast<std::size_t>(tail));
            }
        }
        done += m;
        if (got < m * step) break;  // the rest stays zero
    }
    account(first, got_all, n * step);
}

void BinarySection::skip(std::int64_t n) {
    const std::int64_t step = header_.point_step;
    if (n <= 0 || step == 0) {
        position_ += std::max<std::int64_t>(n, 0);
        return;
    }
    const std::int64_t first = position_;
    position_ += n;
    if (seekable_) {
        in_.clear();
        in_.seekg(start_ + static_cast<std::streamoff>(position_ * step));
        if (!in_) {  // past the end of a file cut short, where some streams refuse to go: the end reads the same
            in_.clear();
            in_.seekg(0, std::ios_base::end);
        }
        bytes_ = std::min(position_, held_) * step;
        report_.data_end = header_.data_offset + bytes_;
        return;
    }
    if (window_.size() == 0) window_ = BulkMemory(static_cast<std::size_t>(window_bytes), false);
    std::int64_t left = n * step;
    std::int64_t got_all = 0;
    while (left > 0) {
        const std::int64_t want = std::min<std::int64_t>(left, static_cast<std::int64_t>(window_.size()));
        const std::int64_t got = take(window_.data(), want);
        got_all += got;
        left -= got;
        if (got < want) break;
    }
    // Passing over a shortfall does not report it; the next read that meets it does.
    if (got_all < n * step) held_ = std::min(held_ < 0 ? INT64_MAX : held_, first + got_all / step);
    report_.data_end = header_.data_offset + bytes_;
}

bool BinarySection::rewind() {
    if (!seekable_) return false;
    in_.clear();
    in_.seekg(start_);
    position_ = 0;
    bytes_ = 0;
    report_.points_complete = std::max<std::int32_t>(header_.points, 0);
    report_.data_end = header_.data_offset;
    return true;
}

}  // namespace vantrel
