// What is left of an input stream.
#pragma once

#include <cstdint>
#include <istream>

namespace vantrel {

// Bytes from the stream's position to its end, or -1 when the stream cannot
// tell (a pipe). Leaves the position where it was. Does not throw.
std::int64_t remaining_bytes(std::istream& in);

}  // namespace vantrel
