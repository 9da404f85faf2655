// The records of a map's chunk put in grid-tile order for tile: by the x
// index, then the y index of the tile each point lies in, the points' own
// order kept within a tile, points with a coordinate that is not finite last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pcd/voxel_grid.h"

namespace vantrel {

struct TileRun {
    std::int64_t ix, iy;       // the tile: floor((x - origin) / size), and for y
    std::int64_t start, stop;  // its records in the ordered output
};

// Copies n records (record_bytes each; x, y, z where `xyz` says) into `out`
// (room for n records) in tile order, and returns each tile's run; the
// records with a coordinate that is not finite follow the last run, and
// `nan` counts them. Sizes are positive and finite (checked by the caller).
// A chunk large enough is split among the shared pool's threads; the order
// is the same for any number. Allocates 16 bytes per record and the runs.
// Throws std::overflow_error when a tile index reaches 2^62, std::bad_alloc.
std::vector<TileRun> order_by_tile(const std::uint8_t* records, std::size_t record_bytes, std::int64_t n,
                                   const VoxelValue (&xyz)[3], const double (&origin)[2], const double (&size)[2],
                                   std::uint8_t* out, std::int64_t& nan);

}  // namespace vantrel
