// Bulk reads from the input stream that never allocate more than it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>

#include "pcd/bulk_memory.h"

namespace vantrel {

// Bytes read from a stream: the first size() bytes of memory().
struct ByteBuffer {
    BulkMemory memory;
    std::size_t size = 0;

    const char* data() const noexcept { return reinterpret_cast<const char*>(memory.data()); }
};

// Bytes from the stream's position to its end, or -1 when the stream cannot
// tell (a pipe). Leaves the position where it was. Does not throw.
std::int64_t remaining_bytes(std::istream& in);

// Reads up to `limit` bytes from the stream's position, stopping early at the
// end of the input. Allocates only what the stream holds: the exact size for
// a file, doubling chunks for a pipe. Throws std::bad_alloc.
ByteBuffer read_bytes(std::istream& in, std::uint64_t limit);

}  // namespace vantrel
