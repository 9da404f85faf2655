// The decoded point records of one load: points x point_step bytes. Large
// buffers are zero-filled lazily by the system, so that a header which merely
// claims a large cloud costs address space, not touched memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "pcd/bulk_memory.h"

namespace vantrel {

// A buffer size that no vector could hold: a negative one, or one beyond 64 bits.
[[noreturn]] inline void throw_size_error() {
    throw std::length_error("cannot create std::vector larger than max_size()");
}

// points x point_step, or throw_size_error() when it overflows 64 bits.
inline std::int64_t record_bytes(std::int64_t points, std::int64_t point_step) {
    std::int64_t size = 0;
    if (__builtin_mul_overflow(points, point_step, &size)) throw_size_error();
    return size;
}

class PointBuffer {
public:
    PointBuffer() noexcept = default;

    // Zero-filled unless `for_overwrite`: then a small buffer may hold
    // anything, and its filler must write every byte (zeroed() tells).
    // Records of up to 64 KiB share huge pages with their neighbours; larger
    // ones are written sparsely (a short data section touches one spot per
    // record), so they keep small pages. data() is never null.
    // Throws std::length_error for a negative size, std::bad_alloc when the
    // memory cannot be had.
    PointBuffer(std::int64_t size, std::int64_t point_step, bool for_overwrite = false)
        : memory_(checked(size), !for_overwrite, point_step <= (std::int64_t{1} << 16)) {}

    // Records that live elsewhere: a file mapping.
    explicit PointBuffer(BulkMemory&& memory) noexcept : memory_(std::move(memory)) {}

    std::uint8_t* data() noexcept { return memory_.data(); }
    const std::uint8_t* data() const noexcept { return memory_.data(); }
    std::size_t size() const noexcept { return memory_.size(); }
    bool zeroed() const noexcept { return memory_.zeroed(); }

private:
    static std::size_t checked(std::int64_t size) {
        if (size < 0) throw_size_error();
        return static_cast<std::size_t>(size);
    }

    BulkMemory memory_;
};

}  // namespace vantrel
