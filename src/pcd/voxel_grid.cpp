#include "pcd/voxel_grid.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace vantrel {
namespace {

// splitmix64's finaliser over the three indices: neighbouring voxels land far apart.
std::uint64_t mix(std::uint64_t x) noexcept {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

std::uint64_t hash_of(const VoxelIndex& key) noexcept {
    return mix(static_cast<std::uint64_t>(key.i) ^
               mix(static_cast<std::uint64_t>(key.j) ^ mix(static_cast<std::uint64_t>(key.k))));
}

}  // namespace

VoxelGrid::VoxelGrid(std::size_t sums, std::size_t first_bytes)
    : sum_count_(sums), first_bytes_(first_bytes), table_(1024, 0) {}

void VoxelGrid::reserve(std::size_t voxels) {
    // Cells for every point of a call being a new voxel: one rehash per call at most (the
    // voxels' own vectors grow as voxels come, so few voxels cost little).
    std::size_t cells = table_.size();
    while (cells < 2 * voxels) cells *= 2;
    if (cells != table_.size()) rehash(cells);
}

void VoxelGrid::rehash(std::size_t cells) {
    std::vector<std::int64_t> table(cells, 0);
    const std::size_t mask = table.size() - 1;
    for (std::size_t slot = 0; slot < keys_.size(); ++slot) {
        std::size_t cell = hash_of(keys_[slot]) & mask;
        while (table[cell] != 0) cell = (cell + 1) & mask;
        table[cell] = static_cast<std::int64_t>(slot) + 1;
    }
    table_.swap(table);
}

std::int64_t VoxelGrid::slot_of(const VoxelIndex& key, const std::uint8_t* first) {
    std::size_t mask = table_.size() - 1;
    std::size_t cell = hash_of(key) & mask;
    while (table_[cell] != 0) {
        const std::int64_t slot = table_[cell] - 1;
        if (keys_[static_cast<std::size_t>(slot)] == key) return slot;
        cell = (cell + 1) & mask;
    }
    // A new voxel: its slot is the next, its first values this point's.
    const auto slot = static_cast<std::int64_t>(keys_.size());
    keys_.push_back(key);
    counts_.push_back(0);
    sums_.resize(sums_.size() + sum_count_, 0.0);
    firsts_.insert(firsts_.end(), first, first + first_bytes_);
    table_[cell] = slot + 1;
    if (keys_.size() * 2 > table_.size()) rehash(table_.size() * 2);  // at most half full: probes stay short
    return slot;
}

void VoxelGrid::add(const std::int64_t* ijk, const double* values, const std::uint8_t* firsts, std::int64_t n) {
    reserve(keys_.size() + static_cast<std::size_t>(n));
    for (std::int64_t p = 0; p < n; ++p) {
        const VoxelIndex key{ijk[3 * p], ijk[3 * p + 1], ijk[3 * p + 2]};
        const auto slot = static_cast<std::size_t>(slot_of(key, firsts + static_cast<std::size_t>(p) * first_bytes_));
        ++counts_[slot];
        double* sums = sums_.data() + slot * sum_count_;
        const double* point = values + p;
        for (std::size_t s = 0; s < sum_count_; ++s) sums[s] += point[static_cast<std::ptrdiff_t>(s) * n];
    }
}

std::vector<std::int64_t> VoxelGrid::key_order() const {
    // The keys sorted beside their slots: one contiguous sort, no lookups through the slots.
    std::vector<std::pair<VoxelIndex, std::int64_t>> sorted(keys_.size());
    for (std::size_t slot = 0; slot < keys_.size(); ++slot)
        sorted[slot] = {keys_[slot], static_cast<std::int64_t>(slot)};
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::int64_t> order(sorted.size());
    for (std::size_t v = 0; v < sorted.size(); ++v) order[v] = sorted[v].second;
    return order;
}

}  // namespace vantrel
