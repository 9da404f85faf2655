// Bulk reads from the input stream that never allocate more than it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <istream>
#include <memory>

namespace vantrel {

// Bytes read from a stream; uninitialised beyond size().
class ByteBuffer {
public:
    char* data() noexcept { return data_.get(); }
    const char* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }

private:
    struct Free {
        void operator()(char* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<char, Free> data_;
    std::size_t size_ = 0;

    friend ByteBuffer read_bytes(std::istream& in, std::uint64_t limit, std::size_t spare);
};

// Bytes from the stream's position to its end, or -1 when the stream cannot
// tell (a pipe). Leaves the position where it was. Does not throw.
std::int64_t remaining_bytes(std::istream& in);

// Reads up to `limit` bytes from the stream's position, stopping early at the
// end of the input, into a buffer with `spare` writable bytes after them.
// Allocates only what the stream holds: the exact size for a file, growing
// chunks for a pipe. Throws std::bad_alloc.
ByteBuffer read_bytes(std::istream& in, std::uint64_t limit, std::size_t spare = 0);

}  // namespace vantrel
