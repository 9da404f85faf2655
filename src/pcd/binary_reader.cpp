#include "pcd/binary_reader.h"

namespace vantrel {

void read_binary_data(std::istream& in, PointBuffer& buffer) noexcept {
    if (buffer.size() == 0) return;
    in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
}

}  // namespace vantrel
