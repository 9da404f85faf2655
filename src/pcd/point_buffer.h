// The decoded point records of one load: points x point_step bytes of
// lazily zero-filled memory, so that a header which merely claims a large
// cloud costs address space, not touched memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "pcd/zeroed_memory.h"

namespace vantrel {

class PointBuffer {
public:
    PointBuffer() noexcept = default;

    // Throws std::length_error for a negative size and std::bad_alloc when
    // the memory cannot be had. data() is never null, even for no points.
    // Records of up to 64 KiB share huge pages with their neighbours; larger
    // ones are written sparsely (a short data section touches one spot per
    // record), so they keep small pages.
    PointBuffer(std::int64_t size, std::int64_t point_step)
        : memory_(checked(size), point_step <= (std::int64_t{1} << 16)) {}

    std::uint8_t* data() noexcept { return memory_.data(); }
    const std::uint8_t* data() const noexcept { return memory_.data(); }
    std::size_t size() const noexcept { return memory_.size(); }

private:
    static std::size_t checked(std::int64_t size) {
        if (size < 0) throw std::length_error("cannot create std::vector larger than max_size()");
        return static_cast<std::size_t>(size);
    }

    ZeroedMemory memory_;
};

}  // namespace vantrel
