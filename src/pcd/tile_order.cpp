#include "pcd/tile_order.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace vantrel {
namespace {

constexpr double far = 4611686018427387904.0;  // 2^62
// Tiles a chunk's extent may span and still be counted in an array of their own.
constexpr std::uint64_t most_counted = std::uint64_t{1} << 22;

// Each record's tile, unless a coordinate is not finite (bad), and the extent of the tiles.
struct Tiles {
    std::vector<std::int64_t> ix, iy;
    std::vector<std::uint8_t> bad;
    std::int64_t finite = 0, low_x = 0, high_x = 0, low_y = 0, high_y = 0;
};

Tiles tiles_of(const std::uint8_t* records, std::size_t record_bytes, std::int64_t n, const VoxelValue (&xyz)[3],
               const double (&origin)[2], const double (&size)[2]) {
    const auto count = static_cast<std::size_t>(n);
    Tiles t{std::vector<std::int64_t>(count), std::vector<std::int64_t>(count), std::vector<std::uint8_t>(count, 0)};
    for (std::size_t p = 0; p < count; ++p) {
        const std::uint8_t* record = records + p * record_bytes;
        const double x = value_at(record, xyz[0]), y = value_at(record, xyz[1]), z = value_at(record, xyz[2]);
        if (!(std::isfinite(x) && std::isfinite(y) && std::isfinite(z))) {
            t.bad[p] = 1;
            continue;
        }
        const double tx = std::floor((x - origin[0]) / size[0]), ty = std::floor((y - origin[1]) / size[1]);
        if (!(std::fabs(tx) < far && std::fabs(ty) < far)) throw std::overflow_error("tile index beyond 2^62");
        const auto i = static_cast<std::int64_t>(tx), j = static_cast<std::int64_t>(ty);
        t.ix[p] = i, t.iy[p] = j;
        if (t.finite++ == 0) t.low_x = t.high_x = i, t.low_y = t.high_y = j;
        t.low_x = std::min(t.low_x, i), t.high_x = std::max(t.high_x, i);
        t.low_y = std::min(t.low_y, j), t.high_y = std::max(t.high_y, j);
    }
    return t;
}

// A stable counting sort over the span_x x span_y tiles of the extent: runs, and each record's place.
std::vector<TileRun> count_order(const Tiles& t, std::uint64_t span_y, std::uint64_t cells,
                                 std::vector<std::int64_t>& place) {
    auto code = [&](std::size_t p) {
        return static_cast<std::size_t>(static_cast<std::uint64_t>(t.ix[p] - t.low_x) * span_y +
                                        static_cast<std::uint64_t>(t.iy[p] - t.low_y));
    };
    std::vector<std::int64_t> starts(cells + 1, 0);
    for (std::size_t p = 0; p < t.ix.size(); ++p) {
        if (!t.bad[p]) ++starts[code(p) + 1];
    }
    std::vector<TileRun> runs;
    for (std::size_t c = 0; c < cells; ++c) {
        if (starts[c + 1] != 0) {
            const auto start = starts[c];
            runs.push_back({t.low_x + static_cast<std::int64_t>(c / span_y),
                            t.low_y + static_cast<std::int64_t>(c % span_y), start, start + starts[c + 1]});
        }
        starts[c + 1] += starts[c];
    }
    std::int64_t next_bad = t.finite;
    for (std::size_t p = 0; p < t.ix.size(); ++p) place[p] = t.bad[p] ? next_bad++ : starts[code(p)]++;
    return runs;
}

// Tiles too far apart to count: the finite records sorted stably by tile.
std::vector<TileRun> sort_order(const Tiles& t, std::vector<std::int64_t>& place) {
    std::vector<std::size_t> order;
    for (std::size_t p = 0; p < t.ix.size(); ++p) {
        if (!t.bad[p]) order.push_back(p);
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return t.ix[a] != t.ix[b] ? t.ix[a] < t.ix[b] : t.iy[a] < t.iy[b];
    });
    std::vector<TileRun> runs;
    std::int64_t at = 0, next_bad = t.finite;
    for (const std::size_t p : order) {
        if (runs.empty() || runs.back().ix != t.ix[p] || runs.back().iy != t.iy[p]) {
            runs.push_back({t.ix[p], t.iy[p], at, at});
        }
        place[p] = at++;
        runs.back().stop = at;
    }
    for (std::size_t p = 0; p < t.ix.size(); ++p) {
        if (t.bad[p]) place[p] = next_bad++;
    }
    return runs;
}

}  // namespace

std::vector<TileRun> order_by_tile(const std::uint8_t* records, std::size_t record_bytes, std::int64_t n,
                                   const VoxelValue (&xyz)[3], const double (&origin)[2], const double (&size)[2],
                                   std::uint8_t* out, std::int64_t& nan) {
    const Tiles t = tiles_of(records, record_bytes, n, xyz, origin, size);
    nan = n - t.finite;
    const auto span_x = static_cast<std::uint64_t>(t.high_x) - static_cast<std::uint64_t>(t.low_x) + 1;
    const auto span_y = static_cast<std::uint64_t>(t.high_y) - static_cast<std::uint64_t>(t.low_y) + 1;
    std::vector<std::int64_t> place(static_cast<std::size_t>(n));  // each record's position in `out`
    const bool counted = span_x <= most_counted && span_y <= most_counted / span_x;
    const std::vector<TileRun> runs = counted ? count_order(t, span_y, span_x * span_y, place) : sort_order(t, place);
    for (std::size_t p = 0; p < place.size(); ++p) {
        std::memcpy(out + static_cast<std::size_t>(place[p]) * record_bytes, records + p * record_bytes, record_bytes);
    }
    return runs;
}

}  // namespace vantrel
