// The records of a map's chunk put in grid-tile order for tile: by the x
// index, then the y index of the tile each point lies in, the points' own
// order kept within a tile, points with a coordinate that is not finite last.
// The records are copied into that order as they are counted, each read once
// in turn, so that a tile's are side by side when its file is written (an
// order of record numbers, gathered from at the write, read each record at
// random: a miss in the cache apiece).
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

struct TiledRecords {
    std::vector<TileRun> runs;
    BulkMemory records;    // the n records in tile order
    std::int64_t nan = 0;  // records with a coordinate that is not finite: the last
};

// A copy of n records (record_bytes each; x, y, z where `xyz` says) in tile
// order, and each tile's run in it; the records with a coordinate that is not
// finite follow the last run. Sizes are positive and finite (checked by the
// caller). A chunk large enough is split among the shared pool's threads; the
// copy is the same for any number. Allocates the copy, 4 bytes per record
// while it works (16 when a record lies beyond the tiles that every 64th one
// lies in and those around them; 24 and a sort's when the tiles lie too far
// apart to count) and the runs. Throws std::overflow_error when a tile index reaches 2^62,
// std::bad_alloc.
TiledRecords arrange_by_tile(const std::uint8_t* records, std::size_t record_bytes, std::int64_t n,
                             const VoxelValue (&xyz)[3], const double (&origin)[2], const double (&size)[2]);

}  // namespace vantrel
