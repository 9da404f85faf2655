// The "binary" data section: the record image as it stands in memory.
#pragma once

#include <cstddef>
#include <istream>

#include "pcd/point_buffer.h"

namespace vantrel {

// Reads the buffer's size in bytes from the stream's position straight into
// the buffer, in one request. Bytes that the stream does not supply (a file
// cut short) are zero: they are cleared here unless the buffer is zero
// already, so no byte is written twice. Bytes beyond the buffer are never
// read. Returns the number of bytes the stream supplied; throws nothing,
// allocates nothing.
std::size_t read_binary_data(std::istream& in, PointBuffer& buffer) noexcept;

}  // namespace vantrel
