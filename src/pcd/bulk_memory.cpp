#include "pcd/bulk_memory.h"

#include <cstdlib>
#include <new>
#include <utility>

#include <sys/mman.h>

namespace vantrel {
namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;
constexpr std::size_t map_threshold = std::size_t{4} << 20;

}  // namespace

BulkMemory::BulkMemory(std::size_t size, bool zero, bool dense) {
    if (size >= map_threshold) {
        if (size > SIZE_MAX - huge_page) throw std::bad_alloc();
        // Over-map by one huge page so that the block can start on a huge
        // page boundary. Reserved as usual: a claim beyond what the system
        // can give fails here, as MemoryError, rather than at a later write.
        const std::size_t length = size + huge_page;
        void* map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) throw std::bad_alloc();
        const auto base = reinterpret_cast<std::uintptr_t>(map);
        const auto aligned = (base + huge_page - 1) & ~(std::uintptr_t{huge_page} - 1);
        data_ = reinterpret_cast<std::uint8_t*>(aligned);
        if (dense) madvise(data_, size, MADV_HUGEPAGE);  // advice only: its failure changes nothing
        mapping_ = map;
        mapping_size_ = length;
        zeroed_ = true;
    } else {
        const std::size_t bytes = size > 0 ? size : 1;
        data_ = static_cast<std::uint8_t*>(zero ? std::calloc(bytes, 1) : std::malloc(bytes));
        if (data_ == nullptr) throw std::bad_alloc();
        zeroed_ = zero;
    }
    size_ = size;
}

BulkMemory::BulkMemory(BulkMemory&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      zeroed_(std::exchange(other.zeroed_, false)),
      mapping_(std::exchange(other.mapping_, nullptr)),
      mapping_size_(std::exchange(other.mapping_size_, 0)) {}

BulkMemory& BulkMemory::operator=(BulkMemory&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        zeroed_ = std::exchange(other.zeroed_, false);
        mapping_ = std::exchange(other.mapping_, nullptr);
        mapping_size_ = std::exchange(other.mapping_size_, 0);
    }
    return *this;
}

BulkMemory::~BulkMemory() {
    release();
}

void BulkMemory::release() noexcept {
    if (mapping_ != nullptr) {
        munmap(mapping_, mapping_size_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    mapping_ = nullptr;
}

}  // namespace vantrel
