// The records of a map's chunk put in grid-tile order for tile: by the x
// index, then the y index of the tile each point lies in, the points' own
// order kept within a tile, points with a coordinate that is not finite last.
// The order is of record numbers, and each tile's records are gathered when
// its file is written: no copy of the chunk is made in tile order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "geometry/voxel_grid.h"
#include "pcd/bulk_memory.h"

namespace vantrel {

struct TileRun {
    std::int64_t ix, iy;       // the tile: floor((x - origin) / size), and for y
    std::int64_t start, stop;  // its records' places in the order
};

struct TileOrder {
    std::vector<TileRun> runs;
    BulkMemory order;      // the n record numbers (std::int64_t) in tile order
    std::int64_t nan = 0;  // records with a coordinate that is not finite: the order's last
};

// The tile order of n records (record_bytes each; x, y, z where `xyz` says)
// and each tile's run in it; the records with a coordinate that is not
// finite follow the last run. Sizes are positive and finite (checked by the
// caller). A chunk large enough is split among the shared pool's threads; the
// order is the same for any number. Allocates 16 bytes per record (half of
// them kept as the order; 24 and a sort's when the tiles lie too far apart to
// count) and the runs. Throws std::overflow_error when a tile index reaches
// 2^62, std::bad_alloc.
TileOrder order_by_tile(const std::uint8_t* records, std::size_t record_bytes, std::int64_t n,
                        const VoxelValue (&xyz)[3], const double (&origin)[2], const double (&size)[2]);

// Copies the n records that `numbers` names, out of the `count` at `records`,
// one after another to `out` (room for n records). Allocates nothing. Throws
// std::out_of_range, `out` then holding the records before it, at the first
// number that is not below `count`.
void gather_records(const std::uint8_t* records, std::size_t record_bytes, std::int64_t count,
                    const std::int64_t* numbers, std::int64_t n, std::uint8_t* out);

}  // namespace vantrel
