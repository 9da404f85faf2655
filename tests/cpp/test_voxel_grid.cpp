// The voxel table of downsample: sums in point order however the points are
// split, first values, voxel order, and indices anywhere in 64 bits.
#include <doctest/doctest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "pcd/voxel_grid.h"

namespace {

struct Points {
    std::vector<std::int64_t> ijk;
    std::vector<double> values;  // one value a point
    std::vector<std::uint8_t> firsts;
};

Points points(int n) {
    Points p;
    const std::int64_t big = std::numeric_limits<std::int64_t>::max();
    for (int q = 0; q < n; ++q) {
        // Few voxels, visited out of order, two of them at the ends of 64 bits.
        const std::int64_t v = (q * 7) % 13;
        p.ijk.insert(p.ijk.end(), {v == 0 ? big : v, v % 3 == 0 ? -big - 1 : -v, v / 4});
        p.values.push_back(0.1 * q + 1e-9 * (q % 5));
        p.firsts.push_back(static_cast<std::uint8_t>(q));
    }
    return p;
}

}  // namespace

TEST_CASE("the sums, counts and first values are the same for any split of the points") {
    const int n = 1000;
    const Points p = points(n);
    vantrel::VoxelGrid whole(1, 1);
    whole.add(p.ijk.data(), p.values.data(), p.firsts.data(), n);
    for (const int part : {1, 7, 999}) {
        vantrel::VoxelGrid split(1, 1);
        for (int start = 0; start < n; start += part) {
            const int m = start + part > n ? n - start : part;
            split.add(p.ijk.data() + 3 * start, p.values.data() + start, p.firsts.data() + start, m);
        }
        REQUIRE(split.size() == whole.size());
        CHECK(split.key_order() == whole.key_order());
        CHECK(split.counts() == whole.counts());
        CHECK(split.sums() == whole.sums());  // bit for bit: each voxel summed in point order
        CHECK(split.firsts() == whole.firsts());
    }
    CHECK(whole.size() == 13);
    // A voxel's first value is its first point's: slots come in order of first appearance.
    for (std::size_t slot = 0; slot < whole.size(); ++slot) CHECK(whole.firsts()[slot] == slot);
}

TEST_CASE("the key order is by i, then j, then k, over the whole 64-bit range") {
    const Points p = points(100);
    vantrel::VoxelGrid grid(1, 1);
    grid.add(p.ijk.data(), p.values.data(), p.firsts.data(), 100);
    const std::vector<std::int64_t> order = grid.key_order();
    for (std::size_t v = 1; v < order.size(); ++v) {
        CHECK(grid.keys()[static_cast<std::size_t>(order[v - 1])] < grid.keys()[static_cast<std::size_t>(order[v])]);
    }
}

TEST_CASE("values are given column by column") {
    const std::int64_t ijk[] = {0, 0, 0, 0, 0, 0, 5, 5, 5};
    const double values[] = {1, 2, 4, 10, 20, 40};  // two values for each of three points
    const std::uint8_t firsts[1] = {0};             // no bytes kept
    vantrel::VoxelGrid grid(2, 0);
    grid.add(ijk, values, firsts, 3);
    CHECK(grid.sums() == std::vector<double>{3, 30, 4, 40});
    CHECK(grid.counts() == std::vector<std::int64_t>{2, 1});
}
