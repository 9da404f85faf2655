#include "pcd/compressed_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <lzf.h>

#include "pcd/stream_io.h"
#include "pcd/strided_copy.h"

namespace vantrel {
namespace {

[[noreturn]] void decompression_failed() {
    throw std::runtime_error("LZF decompression failed");
}

std::uint32_t little_endian_u32(const unsigned char* b) noexcept {
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
}

// One field's plane in the decompressed image.
struct Plane {
    std::int64_t start;   // in the image
    std::int64_t offset;  // of the field in the record
    std::int64_t width;   // bytes per point: SIZE x COUNT
    std::int64_t rows;    // points whose bytes the stream delivered in full
    std::int64_t tail;    // bytes delivered of the point after those
    bool inside;          // the field lies inside its record
};

// Copies bytes [lo, hi) of row `row` of a plane, keeping only what falls
// inside the record.
void scatter_clipped(const std::uint8_t* image, const Plane& plane, std::uint8_t* records, std::int64_t step,
                     std::int64_t row, std::int64_t lo, std::int64_t hi) noexcept {
    lo = std::max(lo, -plane.offset);
    hi = std::min(hi, step - plane.offset);
    if (hi <= lo) return;
    std::memcpy(records + row * step + plane.offset + lo, image + plane.start + row * plane.width + lo,
                static_cast<std::size_t>(hi - lo));
}

// Moves the planes into the records a block of points at a time, so that the
// block's records stay in cache while every plane writes into them.
void scatter(const std::uint8_t* image, const std::vector<Plane>& planes, std::uint8_t* records, std::int64_t step,
             std::int64_t points) noexcept {
    const std::int64_t block = std::max<std::int64_t>(1, (std::int64_t{1} << 18) / std::max<std::int64_t>(step, 1));
    for (std::int64_t begin = 0; begin < points; begin += block) {
        const std::int64_t end = std::min(points, begin + block);
        for (const Plane& plane : planes) {
            const std::int64_t stop = std::min(end, plane.rows);
            if (stop <= begin) continue;
            if (plane.inside) {
                copy_rows(image + plane.start + begin * plane.width, plane.width, records + begin * step + plane.offset,
                          step, plane.width, stop - begin);
            } else {
                for (std::int64_t row = begin; row < stop; ++row) {
                    scatter_clipped(image, plane, records, step, row, 0, plane.width);
                }
            }
        }
    }
    for (const Plane& plane : planes) {
        if (plane.tail > 0) scatter_clipped(image, plane, records, step, plane.rows, 0, plane.tail);
    }
}

}  // namespace

CompressedOutcome read_binary_compressed_data(std::istream& in, const PcdHeader& header, PointBuffer& buffer) {
    unsigned char sizes[8];
    in.read(reinterpret_cast<char*>(sizes), sizeof sizes);
    if (in.gcount() != static_cast<std::streamsize>(sizeof sizes)) decompression_failed();
    const std::uint32_t compressed_size = little_endian_u32(sizes);
    const std::uint32_t uncompressed_size = little_endian_u32(sizes + 4);

    const std::int64_t points = std::max<std::int32_t>(header.points, 0);
    const std::int64_t step = header.point_step;
    std::vector<Plane> planes;
    std::int64_t row_width = 0;  // bytes of one point in the image
    bool image_is_records = true;
    for (const PcdField& field : header.fields) {
        if (field.name == "_" || field.count < 1 || field.size < 1) continue;
        const std::int64_t width = std::int64_t{field.size} * field.count;
        image_is_records = image_is_records && field.offset == row_width;
        const bool inside = field.offset >= 0 && field.offset + width <= step;
        planes.push_back(Plane{0, field.offset, width, 0, 0, inside});
        row_width += width;
    }
    // With one plane, or one point, an image of fields packed in record order
    // is the record image itself: decompress straight into the buffer.
    image_is_records = image_is_records && row_width == step && (planes.size() <= 1 || points <= 1);

    std::int64_t image_size = 0;
    if (__builtin_mul_overflow(points, row_width, &image_size)) image_size = INT64_MAX;
    const unsigned int capacity = static_cast<unsigned int>(std::min<std::int64_t>(image_size, uncompressed_size));

    BulkMemory scratch;
    unsigned int decompressed = 0;
    if (compressed_size != 0) {
        const ByteBuffer payload = read_bytes(in, compressed_size);
        if (payload.size < compressed_size) decompression_failed();
        std::uint8_t* out = buffer.data();
        if (!image_is_records) {
            scratch = BulkMemory(capacity, false);  // only the delivered prefix is read
            out = scratch.data();
        }
        decompressed = lzf_decompress(payload.data(), compressed_size, out, capacity);
    }
    if (decompressed != uncompressed_size) decompression_failed();

    CompressedOutcome outcome{points, 8 + std::int64_t{compressed_size}};
    std::int64_t start = 0;
    for (Plane& plane : planes) {
        plane.start = start;
        const std::int64_t delivered = std::max<std::int64_t>(0, std::int64_t{decompressed} - start);
        plane.rows = std::min(points, delivered / plane.width);
        plane.tail = plane.rows < points ? std::min(plane.width, delivered - plane.rows * plane.width) : 0;
        outcome.points_complete = std::min(outcome.points_complete, plane.rows);
        start += points * plane.width;
        if (start >= decompressed) start = decompressed;  // later planes were not delivered
    }
    // One plane, or one point: the image went straight into the records.
    if (!image_is_records && decompressed != 0) scatter(scratch.data(), planes, buffer.data(), step, points);
    return outcome;
}

}  // namespace vantrel
