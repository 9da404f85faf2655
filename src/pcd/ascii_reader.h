// The "ascii" data section: one flat stream of decimal values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>

#include "pcd/pcd_header.h"
#include "pcd/point_buffer.h"

namespace vantrel {

// The size of the chunks in which the text is read: small enough to stay in
// cache from the copy to the parse.
constexpr std::size_t ascii_chunk_size = std::size_t{1} << 20;

// What an ascii section held. Offsets count from the section's first byte.
struct AsciiOutcome {
    std::int64_t points_complete = 0;  // leading points whose every value was read
    std::int64_t used = 0;             // where reading stopped: after the last value read
    // The first value that no column could read, or -1: where it starts, how
    // many line feeds go before it, and its first bytes up to the line's end.
    std::int64_t bad_value = -1;
    std::int64_t bad_value_line_feeds = 0;
    std::string excerpt;
};

// Parses the data section from the stream's position into the records of
// `buffer` (header.points x header.point_step bytes, zero-filled). Values
// follow one another field by field and element by element; every byte <= 32
// separates them, line ends included. A value that cannot be read is 0 and
// stays under the read position for the next column to try. Each store is
// clipped to its column's own SIZE bytes and to its record, so no header makes
// it write outside the buffer. The text is read once, front to back, in
// chunks of `chunk_size` bytes (grown for a record that does not fit) that
// are parsed as they arrive; the result does not depend on the chunk size.
// Returns what the text held (the values themselves are never refused). To
// number the line of a value that cannot be read, a seekable stream is read
// again up to it, and is left there; other streams count line feeds as they go.
// throws only std::bad_alloc.
AsciiOutcome read_ascii_data(std::istream& in, const PcdHeader& header, PointBuffer& buffer,
                             std::size_t chunk_size = ascii_chunk_size);

}  // namespace vantrel
