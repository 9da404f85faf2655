#include "pcd/stream_io.h"

namespace vantrel {

std::int64_t remaining_bytes(std::istream& in) {
    const std::istream::pos_type here = in.tellg();
    if (here == std::istream::pos_type(-1)) {
        in.clear();
        return -1;
    }
    in.seekg(0, std::ios::end);
    if (in.fail()) {  // a stream that cannot seek did not move
        in.clear();
        return -1;
    }
    const std::istream::pos_type end = in.tellg();
    in.clear();
    in.seekg(here);
    if (end == std::istream::pos_type(-1) || end < here) return -1;
    return static_cast<std::int64_t>(end - here);
}

}  // namespace vantrel
