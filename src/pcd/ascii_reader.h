// The "ascii" data section: one flat stream of decimal values.
#pragma once

#include <cstddef>
#include <istream>

#include "pcd/pcd_header.h"
#include "pcd/point_buffer.h"

namespace vantrel {

// The size of the chunks in which the text is read: small enough to stay in
// cache from the copy to the parse.
constexpr std::size_t ascii_chunk_size = std::size_t{1} << 20;

// Parses the data section from the stream's position into the records of
// `buffer` (header.points x header.point_step bytes, zero-filled). Values
// follow one another field by field and element by element; every byte <= 32
// separates them, line ends included. A value that cannot be read is 0 and
// stays under the read position for the next column to try. Each store is
// clipped to its column's own SIZE bytes and to its record, so no header makes
// it write outside the buffer. The text is read once, front to back, in
// chunks of `chunk_size` bytes (grown for a record that does not fit) that
// are parsed as they arrive; the result does not depend on the chunk size.
// Reports nothing about the content; throws only std::bad_alloc.
void read_ascii_data(std::istream& in, const PcdHeader& header, PointBuffer& buffer,
                     std::size_t chunk_size = ascii_chunk_size);

}  // namespace vantrel
