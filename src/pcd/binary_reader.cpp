#include "pcd/binary_reader.h"

#include <cstring>

namespace vantrel {

std::size_t read_binary_data(std::istream& in, PointBuffer& buffer) noexcept {
    if (buffer.size() == 0) return 0;
    in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (!buffer.zeroed()) std::memset(buffer.data() + got, 0, buffer.size() - got);
    return got;
}

}  // namespace vantrel
