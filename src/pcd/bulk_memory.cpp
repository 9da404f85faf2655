#include "pcd/bulk_memory.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <new>
#include <utility>

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

namespace vantrel {
namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;
constexpr std::size_t map_threshold = std::size_t{4} << 20;
// The largest block kept once released: a chunk, or a cloud of a few million points. A fresh
// mapping costs a page fault and the kernel's clearing of each page it touches (on a virtual
// machine, more than reading a file's records into it); a larger block goes back to the system.
constexpr std::size_t most_kept = std::size_t{64} << 20;

// The released blocks the process keeps, under a spin lock: released and taken in a few
// instructions, and a lock that cannot throw where a destructor releases. Two, so that a caller
// that holds each chunk while the reader makes the next still reads into memory it had.
struct Spare {
    void* mapping = nullptr;
    std::size_t mapping_size = 0;
    std::uint8_t* data = nullptr;
    std::size_t room = 0;  // bytes from data to the mapping's end
};
std::atomic_flag spare_lock = ATOMIC_FLAG_INIT;
std::array<Spare, 2> spares;

void lock_spare() noexcept {
    while (spare_lock.test_and_set(std::memory_order_acquire)) {
    }
}
void unlock_spare() noexcept {
    spare_lock.clear(std::memory_order_release);
}

class SpareLock {
public:
    SpareLock() noexcept {
        // A fork waits for the lock and both sides free it: a child forked while another thread
        // held it would otherwise wait forever at its first bulk block.
        static const bool registered = pthread_atfork(lock_spare, unlock_spare, unlock_spare) == 0;
        (void)registered;
        lock_spare();
    }
    ~SpareLock() { unlock_spare(); }
    SpareLock(const SpareLock&) = delete;
    SpareLock& operator=(const SpareLock&) = delete;
};

// The smallest kept block that holds `size` bytes and was made for at most twice as many (a
// small request does not hold a large block), or none. Twice is judged on the size the block was
// made for, not on its room, which the huge-page alignment leaves up to 2 MiB larger: a whole
// cloud's block then serves a chunk of half the cloud.
Spare take_spare(std::size_t size) noexcept {
    const SpareLock lock;
    Spare* best = nullptr;
    for (Spare& spare : spares) {
        const std::size_t made_for = spare.mapping_size - huge_page;  // mapped with one huge page over
        if (spare.mapping == nullptr || spare.room < size || made_for / 2 > size) continue;
        if (best == nullptr || spare.room < best->room) best = &spare;
    }
    return best == nullptr ? Spare{} : std::exchange(*best, Spare{});
}

// `block` kept in place of the smallest kept (an empty place first), unless every kept block is
// larger: the one not kept is returned, to unmap.
Spare keep_spare(Spare block) noexcept {
    if (block.room > most_kept) return block;
    const SpareLock lock;
    Spare* least = &spares[0];
    for (Spare& spare : spares) {
        if (spare.room < least->room) least = &spare;
    }
    if (least->room >= block.room) return block;
    return std::exchange(*least, block);
}

}  // namespace

BulkMemory::BulkMemory(std::size_t size, bool zero, bool dense) {
    if (size >= map_threshold && dense && !zero) {
        if (const Spare kept = take_spare(size); kept.mapping != nullptr) {
            data_ = kept.data;
            size_ = size;
            mapping_ = kept.mapping;
            mapping_size_ = kept.mapping_size;
            reusable_ = true;
            return;  // zeroed_ false: it holds what its last owner wrote
        }
    }
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
        reusable_ = dense;
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

void BulkMemory::drop_kept() noexcept {
    std::array<Spare, 2> kept;
    {
        const SpareLock lock;
        kept = std::exchange(spares, std::array<Spare, 2>{});
    }
    for (const Spare& block : kept) {
        if (block.mapping != nullptr) munmap(block.mapping, block.mapping_size);
    }
}

BulkMemory::BulkMemory(BulkMemory&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      zeroed_(std::exchange(other.zeroed_, false)),
      mapping_(std::exchange(other.mapping_, nullptr)),
      mapping_size_(std::exchange(other.mapping_size_, 0)),
      reusable_(std::exchange(other.reusable_, false)) {}

BulkMemory& BulkMemory::operator=(BulkMemory&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        zeroed_ = std::exchange(other.zeroed_, false);
        mapping_ = std::exchange(other.mapping_, nullptr);
        mapping_size_ = std::exchange(other.mapping_size_, 0);
        reusable_ = std::exchange(other.reusable_, false);
    }
    return *this;
}

BulkMemory::~BulkMemory() {
    release();
}

void BulkMemory::release() noexcept {
    if (mapping_ != nullptr) {
        Spare block{mapping_, mapping_size_, data_,
                    mapping_size_ - static_cast<std::size_t>(data_ - static_cast<std::uint8_t*>(mapping_))};
        if (reusable_) block = keep_spare(block);
        if (block.mapping != nullptr) munmap(block.mapping, block.mapping_size);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    mapping_ = nullptr;
    reusable_ = false;
}

}  // namespace vantrel
