// The occupied voxels of a cloud, for downsampling maps larger than memory:
// per voxel, the number of points, the sums of chosen values, and the bytes
// of its first point. Memory grows with the voxels, not with the points, and
// stops at a chosen number of voxels, where the caller drains the grid (to a
// file, say) and goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include "pcd/bulk_memory.h"
#include "pcd/element_types.h"

namespace vantrel {

// A voxel's three 64-bit indices (floor of a coordinate over the voxel size).
struct VoxelIndex {
    std::int64_t i = 0, j = 0, k = 0;
    bool operator==(const VoxelIndex& o) const noexcept { return i == o.i && j == o.j && k == o.k; }
    bool operator<(const VoxelIndex& o) const noexcept { return i != o.i ? i < o.i : j != o.j ? j < o.j : k < o.k; }
};

// Voxels in order of first appearance (their slots), found by an open-
// addressing table of hash tags; each voxel's key, count, sums and first
// bytes lie together in one record. Each point's values are added to its
// voxel's sums in the order the points come, so the sums are the same
// however the points are split into calls. Not thread-safe: one caller at a
// time.
// Merges parts of sorted runs of voxel records (as VoxelGrid::drain gives
// them: keys ascending, each key once in a part) into `out`, in key order, a
// key in several parts once: its counts and sums added in the parts' order,
// its first bytes the first part's. `out` has room for every part's records;
// returns how many it holds. Allocates an index a part; throws std::bad_alloc.
struct VoxelRecords {
    const std::uint8_t* data;
    std::size_t count;
};
std::size_t merge_voxel_records(const std::vector<VoxelRecords>& parts, std::size_t sums, std::size_t record_bytes,
                                std::uint8_t* out);

// Where add_records finds a point's values in its record.
struct VoxelValue {
    std::size_t offset;
    Element element;
};
// A record's value as a double.
inline double value_at(const std::uint8_t* record, const VoxelValue& value) noexcept {
    return with_element(value.element, [&](auto zero) {
        decltype(zero) v;
        std::memcpy(&v, record + value.offset, sizeof v);
        return static_cast<double>(v);
    });
}

struct VoxelPlan {
    VoxelValue xyz[3];
    double size[3];                                   // the voxel's, positive and finite
    std::vector<VoxelValue> sums;                     // summed as doubles, first
    std::vector<std::pair<std::size_t, int>> colors;  // packed 4-byte colors (offset, 3 or 4 channels): r g b (a)
    std::vector<std::pair<std::size_t, std::size_t>> firsts;  // (offset, bytes), kept in this order
};

// What a voxel's record becomes in downsample's output record: float fields
// the means of sums (out offset, type, sum index), packed colors the rounded
// means of their channels' sums (out offset, 3 or 4 channels, first sum
// index), other fields the first bytes (out offset, offset in the first
// bytes, bytes).
struct VoxelOutput {
    std::size_t record_bytes = 0;
    std::vector<std::tuple<std::size_t, Element, std::size_t>> floats;
    std::vector<std::tuple<std::size_t, int, std::size_t>> colors;
    std::vector<std::tuple<std::size_t, std::size_t, std::size_t>> firsts;
};

// Writes `count` output records from voxel records (record_bytes each, as
// VoxelGrid::drain gives them, with `sums` sums) into `out`, as `output`
// says; the caller has checked that every place lies within the records.
// Means round as NumPy's rint and casts do. Allocates nothing.
void voxel_means(const std::uint8_t* records, std::size_t record_bytes, std::size_t sums, std::size_t count,
                 const VoxelOutput& output, std::uint8_t* out) noexcept;

// The output records of the merge of merge_voxel_records, written as
// voxel_means writes them, without the merged records themselves: the same
// sums, so the same bits. `out` has room for every part's records; returns
// how many it holds. Allocates an index a part and a record; throws
// std::bad_alloc.
std::size_t merge_voxel_means(const std::vector<VoxelRecords>& parts, std::size_t sums, std::size_t record_bytes,
                              const VoxelOutput& output, std::uint8_t* out);

class VoxelGrid {
public:
    static constexpr std::size_t most_voxels = std::numeric_limits<std::uint32_t>::max() - 1;

    // `sums` values summed per point, `first_bytes` bytes kept from each
    // voxel's first point, at most `capacity` voxels (1 to most_voxels,
    // else std::invalid_argument).
    VoxelGrid(std::size_t sums, std::size_t first_bytes, std::size_t capacity = most_voxels);

    // Adds points start to n - 1, in order: ijk (n x 3, row by row), values
    // (sums x n, column by column: values[s * n + p] is point p's s-th value)
    // and firsts (n x first_bytes, row by row). Stops at the first point
    // whose voxel is new while the grid holds `capacity` voxels, and returns
    // its index (n when every point was added), so where it stops depends on
    // the points alone. Allocates as voxels are found; throws std::bad_alloc.
    std::int64_t add(const std::int64_t* ijk, const double* values, const std::uint8_t* firsts, std::int64_t n,
                     std::int64_t start = 0);

    // Adds records start to n - 1 (record_bytes each) as add() adds points,
    // their keys floor(x / size) and so on, values and first bytes where
    // `plan` says (its sums and colors' channels as many as the grid's sums,
    // its firsts' bytes as many as its first bytes, all within a record;
    // checked by the caller). Points with a coordinate that is not finite are
    // left out and counted in `skipped`. Returns the first record not added,
    // as add() does. Throws std::overflow_error when a coordinate over the
    // voxel size reaches 2^62, std::bad_alloc.
    std::int64_t add_records(const std::uint8_t* records, std::size_t record_bytes, std::int64_t n, std::int64_t start,
                             const VoxelPlan& plan, std::int64_t& skipped);

    std::size_t size() const noexcept { return voxels_; }
    bool full() const noexcept { return voxels_ == capacity_; }

    // Puts the voxels in key order (i, then j, then k) for drain(). Allocates.
    void sort();
    // A voxel's record: its key (3 int64), count (int64), sums (double
    // each), then its first bytes, padded to 8 bytes.
    std::size_t record_bytes() const noexcept { return stride_ * sizeof(double); }
    // After sort(): copies the next `count` voxels' records in key order
    // (fewer at the end; returns how many) to `records` (count x
    // record_bytes()). When the last is copied, the grid is empty again and
    // keeps its memory.
    std::size_t drain(std::uint8_t* records, std::size_t count);

    // Slot-order views, for tests: the voxels' keys, counts, sums, firsts.
    VoxelIndex key(std::size_t slot) const noexcept;
    std::int64_t count(std::size_t slot) const noexcept;
    const double* sums(std::size_t slot) const noexcept;
    const std::uint8_t* firsts(std::size_t slot) const noexcept;

private:
    std::int64_t add_columns(const std::int64_t* ijk, const double* values, std::size_t stride,
                             const std::uint8_t* firsts, std::int64_t n, std::int64_t start);
    std::uint32_t slot_of(const VoxelIndex& key, std::uint64_t hash, const std::uint8_t* first);
    double* record(std::size_t slot) noexcept { return records_.data() + slot * stride_; }
    const double* record(std::size_t slot) const noexcept { return records_.data() + slot * stride_; }
    void rehash(std::size_t cells);
    void clear() noexcept;

    std::size_t sum_count_;
    std::size_t first_bytes_;
    std::size_t capacity_;
    std::size_t stride_;  // doubles a record: key (3), count (1), sums, then first bytes rounded up
    std::size_t voxels_ = 0;
    VoxelIndex low_, high_;           // the least and greatest of the voxels' i, j and k
    BulkArray<double> records_;       // one record a slot; int64s and bytes are kept in it by memcpy
    BulkArray<std::uint64_t> table_;  // (tag << 32) | (slot + 1) a cell, 0 for empty; a power of two long
    BulkArray<std::uint32_t> order_;  // slots in key order, after sort()
    std::size_t drained_ = 0;
};

}  // namespace vantrel
