// Memory for bulk data: point records, file contents, decompressed images.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel {

class BulkMemory {
public:
    BulkMemory() noexcept = default;
    // At least one byte, so that data() is never null. Blocks of a few MiB
    // and more are mapped directly: the system zero-fills them lazily, so a
    // claim costs address space and only the pages that are written cost
    // memory. When `dense`, mapped blocks ask for transparent huge pages, so
    // that a bulk fill takes a page fault per 2 MiB instead of per 4 KiB;
    // memory that is written sparsely must not, since each write would make
    // 2 MiB resident. Smaller blocks come from the heap, cleared only when
    // `zero` is asked for. Throws std::bad_alloc.
    BulkMemory(std::size_t size, bool zero, bool dense = true);
    // `size` bytes of the file open as `fd`, from byte `offset`, mapped
    // privately: pages are read as they are touched, writes stay in this
    // process, and nothing counts against the commit limit (MAP_NORESERVE).
    // Of them the file holds `held` (the rest, past its end, reads as zero).
    // A file truncated while mapped makes access to the lost pages fail
    // (SIGBUS), as with every mapping. Throws std::bad_alloc when the
    // mapping cannot be made.
    static BulkMemory map_file(int fd, std::uint64_t offset, std::uint64_t size, std::uint64_t held);
    BulkMemory(BulkMemory&& other) noexcept;
    BulkMemory& operator=(BulkMemory&& other) noexcept;
    BulkMemory(const BulkMemory&) = delete;
    BulkMemory& operator=(const BulkMemory&) = delete;
    ~BulkMemory();

    std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    // Every byte is known to be zero (until written).
    bool zeroed() const noexcept { return zeroed_; }

private:
    void release() noexcept;

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    bool zeroed_ = false;
    void* mapping_ = nullptr;  // set when mapped rather than from the heap
    std::size_t mapping_size_ = 0;
};

}  // namespace vantrel
