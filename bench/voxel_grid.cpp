// The voxel table of downsample alone: points like a spinning lidar's (x, y
// within 120 m, z within a few metres) into voxels of a given size, timed
// for add(), sort() and drain(), best of several runs.
//
//   g++ -O3 -std=c++17 -Isrc -o bench/out/voxel_grid bench/voxel_grid.cpp src/pcd/voxel_grid.cpp
//   bench/out/voxel_grid [POINTS] [VOXEL] [CAPACITY]
//
// With a capacity (downsample gives one), the table is sized for it at once
// and add stops at the first point of a voxel beyond it.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "geometry/voxel_grid.h"

int main(int argc, char** argv) {
    const std::int64_t n = argc > 1 ? std::atoll(argv[1]) : 2000000;
    const double voxel = argc > 2 ? std::atof(argv[2]) : 0.2;
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> distance(1, 120), angle(0, 6.283185307179586), height(-3, 3);
    std::vector<std::int64_t> ijk(static_cast<std::size_t>(3 * n));
    const std::size_t sums = 8;
    std::vector<double> values(sums * static_cast<std::size_t>(n), 1.0);
    std::vector<std::uint8_t> firsts(2 * static_cast<std::size_t>(n), 0);
    for (std::int64_t p = 0; p < n; ++p) {
        const double r = distance(random), a = angle(random);
        ijk[3 * p] = static_cast<std::int64_t>(std::floor(r * std::cos(a) / voxel));
        ijk[3 * p + 1] = static_cast<std::int64_t>(std::floor(r * std::sin(a) / voxel));
        ijk[3 * p + 2] = static_cast<std::int64_t>(std::floor(height(random) / voxel));
    }
    double best_add = 1e9, best_order = 1e9, best_drain = 1e9;
    std::size_t voxels = 0;
    for (int run = 0; run < 5; ++run) {
        vantrel::VoxelGrid grid(sums, 2, argc > 3 ? std::atoll(argv[3]) : vantrel::VoxelGrid::most_voxels);
        const auto t0 = std::chrono::steady_clock::now();
        grid.add(ijk.data(), values.data(), firsts.data(), n);
        const auto t1 = std::chrono::steady_clock::now();
        grid.sort();
        const auto t2 = std::chrono::steady_clock::now();
        voxels = grid.size();
        std::vector<std::uint8_t> records(voxels * grid.record_bytes());
        grid.drain(records.data(), voxels);
        const auto t3 = std::chrono::steady_clock::now();
        best_drain = std::min(best_drain, std::chrono::duration<double>(t3 - t2).count());
        best_add = std::min(best_add, std::chrono::duration<double>(t1 - t0).count());
        best_order = std::min(best_order, std::chrono::duration<double>(t2 - t1).count());
    }
    std::printf("%lld points, %zu voxels of %g m: add %.3f s, sort %.3f s, drain %.3f s\n", static_cast<long long>(n),
                voxels, voxel, best_add, best_order, best_drain);
}
