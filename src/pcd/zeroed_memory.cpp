#include "pcd/zeroed_memory.h"

#include <cstdlib>
#include <new>
#include <utility>

#include <sys/mman.h>

namespace vantrel {
namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;
constexpr std::size_t map_threshold = std::size_t{4} << 20;

}  // namespace

ZeroedMemory::ZeroedMemory(std::size_t size, bool dense) {
    if (size >= map_threshold) {
        if (size > SIZE_MAX - huge_page) throw std::bad_alloc();
        // Over-map by one huge page so that the block can start on a huge
        // page boundary. Reserved as usual: a claim beyond what the system
        // can give fails here, as MemoryError, rather than at a later write.
        const std::size_t length = size + huge_page;
        void* map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                         -1, 0);
        if (map == MAP_FAILED) throw std::bad_alloc();
        const auto base = reinterpret_cast<std::uintptr_t>(map);
        const auto aligned = (base + huge_page - 1) & ~(std::uintptr_t{huge_page} - 1);
        data_ = reinterpret_cast<std::uint8_t*>(aligned);
        if (dense) madvise(data_, size, MADV_HUGEPAGE);  // advice only: its failure changes nothing
        mapping_ = map;
        mapping_size_ = length;
    } else {
        data_ = static_cast<std::uint8_t*>(std::calloc(size > 0 ? size : 1, 1));
        if (data_ == nullptr) throw std::bad_alloc();
    }
    size_ = size;
}

ZeroedMemory::ZeroedMemory(ZeroedMemory&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapping_(std::exchange(other.mapping_, nullptr)),
      mapping_size_(std::exchange(other.mapping_size_, 0)) {}

ZeroedMemory& ZeroedMemory::operator=(ZeroedMemory&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapping_ = std::exchange(other.mapping_, nullptr);
        mapping_size_ = std::exchange(other.mapping_size_, 0);
    }
    return *this;
}

ZeroedMemory::~ZeroedMemory() {
    release();
}

void ZeroedMemory::release() noexcept {
    if (mapping_ != nullptr) {
        munmap(mapping_, mapping_size_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    mapping_ = nullptr;
}

}  // namespace vantrel
