// The occupied voxels of a cloud, for downsampling maps larger than memory:
// per voxel, the number of points, the sums of chosen values, and the bytes
// of its first point. Memory grows with the voxels, not with the points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantrel {

// A voxel's three 64-bit indices (floor of a coordinate over the voxel size).
struct VoxelIndex {
    std::int64_t i = 0, j = 0, k = 0;
    bool operator==(const VoxelIndex& o) const noexcept { return i == o.i && j == o.j && k == o.k; }
    bool operator<(const VoxelIndex& o) const noexcept { return i != o.i ? i < o.i : j != o.j ? j < o.j : k < o.k; }
};

// Voxels in order of first appearance (their slots), found by an open-
// addressing table. Each point's values are added to its voxel's sums in
// the order the points come, so the sums are the same however the points
// are split into calls. Not thread-safe: one caller at a time.
class VoxelGrid {
public:
    // `sums` values summed per point, `first_bytes` bytes kept from each
    // voxel's first point.
    VoxelGrid(std::size_t sums, std::size_t first_bytes);

    // Adds n points: ijk (n x 3, row by row), values (sums x n, column by
    // column: values[s * n + p] is point p's s-th value) and firsts
    // (n x first_bytes, row by row). Allocates as voxels are found; throws
    // std::bad_alloc.
    void add(const std::int64_t* ijk, const double* values, const std::uint8_t* firsts, std::int64_t n);

    std::size_t size() const noexcept { return keys_.size(); }
    // The slots in voxel order (i, then j, then k). Allocates.
    std::vector<std::int64_t> key_order() const;

    const std::vector<VoxelIndex>& keys() const noexcept { return keys_; }
    const std::vector<std::int64_t>& counts() const noexcept { return counts_; }
    const std::vector<double>& sums() const noexcept { return sums_; }            // size() x sums
    const std::vector<std::uint8_t>& firsts() const noexcept { return firsts_; }  // size() x first_bytes

private:
    std::int64_t slot_of(const VoxelIndex& key, const std::uint8_t* first);
    void reserve(std::size_t voxels);
    void rehash(std::size_t cells);

    std::size_t sum_count_;
    std::size_t first_bytes_;
    std::vector<VoxelIndex> keys_;
    std::vector<std::int64_t> counts_;
    std::vector<double> sums_;
    std::vector<std::uint8_t> firsts_;
    std::vector<std::int64_t> table_;  // slot + 1 per cell, 0 for empty; a power of two long
};

}  // namespace vantrel
