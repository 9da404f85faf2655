// Memory for bulk data: point records, file contents, decompressed images.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

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
    // `zero` is asked for. A dense block that need not be zero may be one of
    // the two largest released, of up to 64 MiB and at most twice the size,
    // which the process kept for it (then zeroed() is false): chunks read one
    // after another, even while the caller holds the last, or clouds loaded
    // one after another, reuse memory the process already has. Throws
    // std::bad_alloc.
    BulkMemory(std::size_t size, bool zero, bool dense = true);
    // `size` bytes of the file open as `fd`, from byte `offset`, mapped
    // privately: pages are read as they are touched, writes stay in this
    // process, and nothing counts against the commit limit (MAP_NORESERVE).
    // Of them the file holds `held` (the rest, past its end, reads as zero).
    // A file truncated while mapped makes access to the lost pages fail
    // (SIGBUS), as with every mapping. Throws std::bad_alloc when the
    // mapping cannot be made.
    static BulkMemory map_file(int fd, std::uint64_t offset, std::uint64_t size, std::uint64_t held);
    // The blocks kept for reuse, if any, given back to the system.
    static void drop_kept() noexcept;
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
    bool reusable_ = false;  // an anonymous dense mapping, which may be kept for reuse once released
};

// A growing array of trivially copyable T in bulk memory, for arrays filled
// in order: a large one takes huge pages, and reserve() only address space.
// Grows by doubling, copying what it holds. Throws std::bad_alloc.
template <typename T>
class BulkArray {
public:
    BulkArray() noexcept = default;
    // Not dense: 4 KiB pages, and never kept once released, for a large array that is let go while
    // the process goes on (a chunk's working memory), which the system then takes back at once.
    explicit BulkArray(bool dense) noexcept : dense_(dense) {}

    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        BulkMemory more(n * sizeof(T), false, dense_);
        if (size_ != 0) std::memcpy(more.data(), memory_.data(), size_ * sizeof(T));
        memory_ = std::move(more);
        capacity_ = n;
    }
    // n elements; those past the old size are `fill`.
    void resize(std::size_t n, const T& fill = T()) {
        if (n > capacity_) reserve(std::max(n, 2 * capacity_));
        if (n > size_) std::fill(data() + size_, data() + n, fill);
        size_ = n;
    }
    // n elements; those past the old size hold anything, for the caller to write.
    void resize_for_overwrite(std::size_t n) {
        if (n > capacity_) reserve(std::max(n, 2 * capacity_));
        size_ = n;
    }
    void clear() noexcept { size_ = 0; }
    void swap(BulkArray& other) noexcept {
        std::swap(memory_, other.memory_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        std::swap(dense_, other.dense_);
    }

    T* data() noexcept { return reinterpret_cast<T*>(memory_.data()); }
    const T* data() const noexcept { return reinterpret_cast<const T*>(memory_.data()); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* begin() noexcept { return data(); }
    T* end() noexcept { return data() + size_; }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size_; }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }

private:
    BulkMemory memory_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool dense_ = true;
};

}  // namespace vantrel
