// Memory that the system zero-fills lazily: a claim costs address space, and
// only the pages that are written cost memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel {

class ZeroedMemory {
public:
    ZeroedMemory() noexcept = default;
    // At least one byte, so that data() is never null. Blocks of a few MiB
    // and more are mapped directly; when `dense`, they are asked for
    // transparent huge pages, so that a bulk fill takes a page fault per
    // 2 MiB instead of per 4 KiB. Memory that is written sparsely must not
    // ask for them: each write would then make 2 MiB resident.
    // Throws std::bad_alloc.
    explicit ZeroedMemory(std::size_t size, bool dense = true);
    ZeroedMemory(ZeroedMemory&& other) noexcept;
    ZeroedMemory& operator=(ZeroedMemory&& other) noexcept;
    ZeroedMemory(const ZeroedMemory&) = delete;
    ZeroedMemory& operator=(const ZeroedMemory&) = delete;
    ~ZeroedMemory();

    std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

private:
    void release() noexcept;

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    void* mapping_ = nullptr;  // set when mapped rather than from calloc
    std::size_t mapping_size_ = 0;
};

}  // namespace vantrel
