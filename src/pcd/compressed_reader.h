// The "binary_compressed" data section: two little-endian 32-bit sizes
// (compressed, uncompressed), then an LZF stream. The stream decompresses to
// a field-major image: for each field in header order, one plane with that
// field's values for every point (a point's COUNT values side by side).
// Padding fields, named "_", fields without elements (COUNT below 1) and
// fields of SIZE below 1 have no plane.
#pragma once

#include <cstdint>
#include <istream>

#include "pcd/pcd_header.h"
#include "pcd/point_buffer.h"

namespace vantrel {

struct CompressedOutcome {
    std::int64_t points_complete = 0;  // leading points whose every plane the image holds
    std::int64_t used = 0;             // bytes of the section read: the sizes and the payload
};

// Decompresses the block at the stream's position and scatters each plane
// into the records of `buffer` (header.points x header.point_step bytes,
// zero-filled) at its field's offset. Image bytes beyond the declared
// uncompressed size stay zero. Never writes outside the buffer, and never
// allocates more payload than the stream holds.
// Throws std::runtime_error("LZF decompression failed") when the stream ends
// inside the two sizes or the payload, when the decompressed length differs
// from the declared one, or when that exceeds the image; std::bad_alloc when
// memory runs out.
CompressedOutcome read_binary_compressed_data(std::istream& in, const PcdHeader& header, PointBuffer& buffer);

}  // namespace vantrel
