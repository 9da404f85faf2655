#include "pcd/bulk_memory.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

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

BulkMemory BulkMemory::map_file(int fd, std::uint64_t offset, std::uint64_t size, std::uint64_t held) {
    if (size == 0) return BulkMemory(0, true);
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::uint64_t start = offset - offset % page;
    const std::uint64_t lead = offset - start;
    if (size > SIZE_MAX - lead - page) throw std::bad_alloc();
    const std::uint64_t length = lead + size;
    // Zero pages for all of it, then the file over the part it holds: pages
    // wholly past the file's end would fault, zero pages read as zero.
    void* map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED) throw std::bad_alloc();
    const std::uint64_t file_part = std::min(length, lead + held);
    if (file_part > 0) {
        const std::uint64_t pages = (file_part + page - 1) / page * page;
        void* over = mmap(map, pages, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED | MAP_NORESERVE, fd,
                          static_cast<off_t>(start));
        if (over == MAP_FAILED) {
            munmap(map, length);
            throw std::bad_alloc();
        }
    }
    BulkMemory memory;
    memory.data_ = static_cast<std::uint8_t*>(map) + lead;
    memory.size_ = static_cast<std::size_t>(size);
    memory.mapping_ = map;
    memory.mapping_size_ = static_cast<std::size_t>(length);
    return memory;
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
