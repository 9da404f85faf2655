// The "ascii" data section: one flat stream of decimal values.
#pragma once

#include <cstdint>
#include <vector>

#include "pcd/pcd_header.h"

namespace vantrel {

// Parses the text [first, last) into `points` records of `point_step` bytes
// at `buffer`, which is zero-filled and points x point_step bytes long.
// Values follow one another field by field and element by element; every
// byte <= 32 separates them, line ends included. A value that cannot be read
// is 0 and stays under the read position for the next column to try. Each
// store is clipped to its column's own SIZE bytes and to its record, so no
// header makes it write outside the buffer; a store never reads past `last`.
// Reports nothing about the content; throws only std::bad_alloc (for its
// column list, before anything is stored).
void read_ascii_data(const char* first, const char* last, const std::vector<PcdField>& fields,
                     std::int32_t points, std::int64_t point_step, std::uint8_t* buffer);

}  // namespace vantrel
