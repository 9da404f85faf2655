#include "pcd/stream_io.h"

#include <algorithm>
#include <cstring>
#include <new>

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

ByteBuffer read_bytes(std::istream& in, std::uint64_t limit) {
    constexpr std::uint64_t first_chunk = 1 << 16;
    const std::int64_t known = remaining_bytes(in);
    std::uint64_t capacity =
        known >= 0 ? std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(known)) : std::min(limit, first_chunk);
    if (capacity > static_cast<std::uint64_t>(PTRDIFF_MAX)) throw std::bad_alloc();

    ByteBuffer out{BulkMemory(static_cast<std::size_t>(capacity), false), 0};
    for (;;) {
        char* dst = reinterpret_cast<char*>(out.memory.data()) + out.size;
        in.read(dst, static_cast<std::streamsize>(capacity - out.size));
        out.size += static_cast<std::size_t>(in.gcount());
        if (out.size < capacity || capacity == limit || known >= 0) break;
        // A stream of unknown length: a claim larger than the input never
        // costs more than twice the input.
        if (capacity > static_cast<std::uint64_t>(PTRDIFF_MAX) / 4) throw std::bad_alloc();
        capacity = std::min(limit, capacity * 2);
        BulkMemory grown(static_cast<std::size_t>(capacity), false);
        std::memcpy(grown.data(), out.memory.data(), out.size);
        out.memory = std::move(grown);
    }
    in.clear(in.rdstate() & ~std::ios::failbit);
    return out;
}

}  // namespace vantrel
