#include "geometry/tile_order.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include "pcd/bulk_memory.h"
#include "pcd/thread_pool.h"

namespace vantrel {
namespace {

constexpr double far = 4611686018427387904.0;  // 2^62
// Tiles a chunk's extent may span and still be counted in an array of their own.
constexpr std::uint64_t most_counted = std::uint64_t{1} << 22;
// Parts a thread may take in turn, at most: enough to even out threads running at different
// speeds, few enough that a count per tile for each part stays small.
constexpr std::int64_t parts_per_thread = 8;
// The x index of a record with a coordinate that is not finite: no tile's, as those lie within 2^62.
constexpr std::int64_t not_finite = INT64_MIN;

// The tiles that records lie in: how many are finite, and the lowest and highest indices.
struct Extent {
    std::int64_t finite = 0, low_x = 0, high_x = 0, low_y = 0, high_y = 0;

    void join(const Extent& other) noexcept {
        if (other.finite == 0) return;
        if (finite == 0) {
            *this = other;
            return;
        }
        finite += other.finite;
        low_x = std::min(low_x, other.low_x), high_x = std::max(high_x, other.high_x);
        low_y = std::min(low_y, other.low_y), high_y = std::max(high_y, other.high_y);
    }
};

// The parts records are split into, each the work of one thread.
struct Split {
    std::size_t count;
    std::size_t parts;

    std::size_t begin(std::size_t part) const noexcept { return count * part / parts; }
    std::size_t end(std::size_t part) const noexcept { return count * (part + 1) / parts; }
};

// Each record's tile (ix not_finite for a coordinate that is not finite) and the extent. The
// indices take tens of MB for a chunk, each written once: bulk memory, for its huge pages.
struct Tiles : Split {
    Tiles(std::size_t n, std::size_t parts_)
        : Split{n, parts_},
          xs(n * sizeof(std::int64_t), false),
          ys(n * sizeof(std::int64_t), false),
          ix(reinterpret_cast<std::int64_t*>(xs.data())),
          iy(reinterpret_cast<std::int64_t*>(ys.data())) {}

    BulkMemory xs, ys;
    std::int64_t* ix;
    std::int64_t* iy;
    Extent extent;
};

// Tiles counted in an array: the cell of tile (ix, iy) is (ix - low_x) * span_y + iy - low_y,
// the cell after the last holds the records that are not finite.
struct Grid {
    std::int64_t low_x = 0, low_y = 0;
    std::uint64_t span_x = 0, span_y = 0;

    std::uint64_t cells() const noexcept { return span_x * span_y; }
};

// floor(q) for |q| < 2^62: a truncation and a step down, where std::floor
// without SSE4.1 is a dozen instructions.
inline std::int64_t floor_index(double q) noexcept {
    const auto i = static_cast<std::int64_t>(q);
    return i - (q < static_cast<double>(i) ? 1 : 0);
}

// A finite point's tile: floor((x - origin) / size) for x, and for y. Beyond 2^53 a quotient is
// an integer, its own floor: the bound of 2^62 holds for either. Taken by value into each loop,
// so that a store to an index cannot make the compiler reload what it holds.
struct TileOf {
    TileOf(const double (&origin)[2], const double (&size)[2]) noexcept
        : ox(origin[0]), oy(origin[1]), sx(size[0]), sy(size[1]) {}

    // Throws std::overflow_error for an index beyond 2^62.
    void operator()(double x, double y, std::int64_t& i, std::int64_t& j) const {
        const double qx = (x - ox) / sx, qy = (y - oy) / sy;
        if (!(std::fabs(qx) < far && std::fabs(qy) < far)) throw std::overflow_error("tile index beyond 2^62");
        i = floor_index(qx), j = floor_index(qy);
    }

    double ox, oy, sx, sy;
};

// `read(record, x, y, z)` reads a record's coordinates: one loop for each kind, so that the
// common ones (all F4, all F8) read without a switch per value.
template <typename Read>
Extent index_records(const std::uint8_t* records, std::size_t record_bytes, Read read, const double (&origin)[2],
                     const double (&size)[2], Tiles& t, std::size_t part) {
    // In locals: a store to an index may alias the sizes and bounds that `t` holds, which the
    // compiler would then reload, and the end divide again, for every record. The extent too,
    // from bounds no index reaches, so that a record costs no branch for it.
    std::int64_t finite = 0, low_x = INT64_MAX, high_x = INT64_MIN, low_y = INT64_MAX, high_y = INT64_MIN;
    std::int64_t* const ix = t.ix;
    std::int64_t* const iy = t.iy;
    const TileOf tile_of(origin, size);
    const std::size_t end = t.end(part);
    for (std::size_t p = t.begin(part); p < end; ++p) {
        double x, y, z;
        read(records + p * record_bytes, x, y, z);
        if (!(std::isfinite(x) && std::isfinite(y) && std::isfinite(z))) {
            ix[p] = not_finite;
            continue;
        }
        std::int64_t i, j;
        tile_of(x, y, i, j);
        ix[p] = i, iy[p] = j;
        ++finite;
        low_x = std::min(low_x, i), high_x = std::max(high_x, i);
        low_y = std::min(low_y, j), high_y = std::max(high_y, j);
    }
    if (finite == 0) return {};
    return {finite, low_x, high_x, low_y, high_y};
}

template <typename T>
auto read_same(const VoxelValue (&xyz)[3]) noexcept {
    return [a = xyz[0].offset, b = xyz[1].offset, c = xyz[2].offset](const std::uint8_t* record, double& x, double& y,
                                                                     double& z) {
        T v[3];
        std::memcpy(&v[0], record + a, sizeof(T));
        std::memcpy(&v[1], record + b, sizeof(T));
        std::memcpy(&v[2], record + c, sizeof(T));
        x = v[0], y = v[1], z = v[2];
    };
}

// f(read) with the reader for the coordinates' kinds.
template <typename F>
auto with_reader(const VoxelValue (&xyz)[3], F&& f) {
    const Element kind = xyz[0].element;
    const bool same = xyz[1].element == kind && xyz[2].element == kind;
    if (same && kind == Element::f32) return f(read_same<float>(xyz));
    if (same && kind == Element::f64) return f(read_same<double>(xyz));
    return f([&xyz](const std::uint8_t* record, double& x, double& y, double& z) {
        x = value_at(record, xyz[0]), y = value_at(record, xyz[1]), z = value_at(record, xyz[2]);
    });
}

Extent index_part(const std::uint8_t* records, std::size_t record_bytes, const VoxelValue (&xyz)[3],
                  const double (&origin)[2], const double (&size)[2], Tiles& t, std::size_t part) {
    return with_reader(xyz,
                       [&](auto read) { return index_records(records, record_bytes, read, origin, size, t, part); });
}

Tiles tiles_of(const std::uint8_t* records, std::size_t record_bytes, std::int64_t n, const VoxelValue (&xyz)[3],
               const double (&origin)[2], const double (&size)[2], std::size_t parts) {
    const auto count = static_cast<std::size_t>(n);
    Tiles t(count, parts);
    std::vector<Extent> extents(parts);
    ThreadPool::shared().run(
        parts, [&](std::size_t part) { extents[part] = index_part(records, record_bytes, xyz, origin, size, t, part); },
        static_cast<int>(parts));
    for (const Extent& e : extents) t.extent.join(e);
    return t;
}

// One record copied. A call to memcpy of a size known only at run time costs
// more than the copy of a few dozen bytes: those go as two overlapping
// fixed-size copies.
inline void copy_record(std::uint8_t* to, const std::uint8_t* from, std::size_t bytes) noexcept {
    if (bytes >= 16 && bytes <= 32) {
        std::memcpy(to, from, 16);
        std::memcpy(to + bytes - 16, from + bytes - 16, 16);
    } else if (bytes >= 8 && bytes < 16) {
        std::memcpy(to, from, 8);
        std::memcpy(to + bytes - 8, from + bytes - 8, 8);
    } else {
        std::memcpy(to, from, bytes);
    }
}

// The runs of the cells that hold records, from each part's count per cell, which become where
// that part's next record of the cell goes; then each part's records copied into `out` in cell
// order, those of a cell in their own order (a stable counting sort). Placing reads the records
// in turn and writes as many runs as the part has tiles, each in turn: no record is read at random.
template <typename Cell>
std::vector<TileRun> place_by_cell(std::vector<std::vector<std::int64_t>>& next, const Cell* cell, const Grid& g,
                                   const Split& split, const std::uint8_t* records, std::size_t record_bytes,
                                   std::uint8_t* out) {
    std::vector<TileRun> runs;
    std::int64_t at = 0;
    const std::uint64_t cells = g.cells();
    for (std::size_t c = 0; c <= cells; ++c) {
        const std::int64_t start = at;
        for (auto& part : next) at += std::exchange(part[c], at);
        if (at != start && c < cells) {
            runs.push_back({g.low_x + static_cast<std::int64_t>(c / g.span_y),
                            g.low_y + static_cast<std::int64_t>(c % g.span_y), start, at});
        }
    }
    ThreadPool::shared().run(
        split.parts,
        [&](std::size_t part) {
            std::int64_t* at_cell = next[part].data();
            const std::size_t end = split.end(part);  // a divide: not once a record
            for (std::size_t p = split.begin(part); p < end; ++p) {
                const auto to = static_cast<std::size_t>(at_cell[static_cast<std::size_t>(cell[p])]++);
                copy_record(out + to * record_bytes, records + p * record_bytes, record_bytes);
            }
        },
        static_cast<int>(split.parts));
    return runs;
}

// The tiles of the extent counted, each part by a thread of its own: counting turns each
// record's x index into its cell, so that placing reads one index.
std::vector<TileRun> count_order(Tiles& t, const Grid& g, const std::uint8_t* records, std::size_t record_bytes,
                                 std::uint8_t* out) {
    const std::uint64_t cells = g.cells();
    std::vector<std::vector<std::int64_t>> next(t.parts, std::vector<std::int64_t>(cells + 1, 0));
    ThreadPool::shared().run(
        t.parts,
        [&](std::size_t part) {
            std::int64_t* counts = next[part].data();
            // In locals: the compiler would reload what a reference reaches for every record.
            std::int64_t* const ix = t.ix;
            const std::int64_t* const iy = t.iy;
            const std::int64_t low_x = g.low_x, low_y = g.low_y;
            const std::uint64_t span_y = g.span_y;
            const std::size_t end = t.end(part);  // a divide: not once a record
            for (std::size_t p = t.begin(part); p < end; ++p) {
                const std::uint64_t cell = ix[p] == not_finite ? cells
                                                               : static_cast<std::uint64_t>(ix[p] - low_x) * span_y +
                                                                     static_cast<std::uint64_t>(iy[p] - low_y);
                ix[p] = static_cast<std::int64_t>(cell);
                ++counts[cell];
            }
        },
        static_cast<int>(t.parts));
    return place_by_cell(next, t.ix, g, t, records, record_bytes, out);
}

// A grid guessed from every 64th record: the tiles they lie in, and one more on every side. A
// chunk's tiles nearly always lie within it (a map's points are dense where its tiles are), and
// then each record's cell is found and counted in one pass, in 4 bytes, without the extent's
// pass over every record and its 16 bytes of indices. None when no sample is finite or the grid
// is too large to count. Throws std::overflow_error, as every record's pass would then.
constexpr std::size_t sample_step = 64;

std::optional<Grid> sampled_grid(const std::uint8_t* records, std::size_t record_bytes, std::int64_t n,
                                 const VoxelValue (&xyz)[3], const double (&origin)[2], const double (&size)[2]) {
    const TileOf tile_of(origin, size);
    std::int64_t low_x = INT64_MAX, high_x = INT64_MIN, low_y = INT64_MAX, high_y = INT64_MIN;
    for (std::size_t p = 0; p < static_cast<std::size_t>(n); p += sample_step) {
        const std::uint8_t* record = records + p * record_bytes;
        const double x = value_at(record, xyz[0]), y = value_at(record, xyz[1]), z = value_at(record, xyz[2]);
        if (!(std::isfinite(x) && std::isfinite(y) && std::isfinite(z))) continue;
        std::int64_t i, j;
        tile_of(x, y, i, j);
        low_x = std::min(low_x, i), high_x = std::max(high_x, i);
        low_y = std::min(low_y, j), high_y = std::max(high_y, j);
    }
    if (low_x > high_x) return std::nullopt;
    Grid g;
    g.low_x = low_x - 1, g.low_y = low_y - 1;  // within 2^62: no overflow either way
    g.span_x = static_cast<std::uint64_t>(high_x) - static_cast<std::uint64_t>(low_x) + 3;
    g.span_y = static_cast<std::uint64_t>(high_y) - static_cast<std::uint64_t>(low_y) + 3;
    if (g.span_x > most_counted || g.span_y > most_counted / g.span_x) return std::nullopt;
    return g;
}

// One part's records' cells in the grid, counted; false at the first record whose tile lies
// outside it. Throws std::overflow_error as index_records does.
template <typename Read>
bool cell_records(const std::uint8_t* records, std::size_t record_bytes, Read read, const double (&origin)[2],
                  const double (&size)[2], const Grid& g, const Split& split, std::size_t part, std::uint32_t* cell,
                  std::int64_t* counts) {
    const TileOf tile_of(origin, size);
    const std::int64_t low_x = g.low_x, low_y = g.low_y;
    const std::uint64_t span_x = g.span_x, span_y = g.span_y;
    const auto not_finite_cell = static_cast<std::uint32_t>(g.cells());
    const std::size_t end = split.end(part);
    for (std::size_t p = split.begin(part); p < end; ++p) {
        double x, y, z;
        read(records + p * record_bytes, x, y, z);
        if (!(std::isfinite(x) && std::isfinite(y) && std::isfinite(z))) {
            cell[p] = not_finite_cell;
            ++counts[not_finite_cell];
            continue;
        }
        std::int64_t i, j;
        tile_of(x, y, i, j);
        // Unsigned: an index below the grid's wraps to beyond its span.
        const std::uint64_t u = static_cast<std::uint64_t>(i) - static_cast<std::uint64_t>(low_x);
        const std::uint64_t v = static_cast<std::uint64_t>(j) - static_cast<std::uint64_t>(low_y);
        if (u >= span_x || v >= span_y) return false;
        const auto c = static_cast<std::uint32_t>(u * span_y + v);
        cell[p] = c;
        ++counts[c];
    }
    return true;
}

// The records arranged by the sampled grid into `result`, or false (and nothing done) when one
// lies outside it.
bool arrange_in_grid(const std::uint8_t* records, std::size_t record_bytes, std::int64_t n, const VoxelValue (&xyz)[3],
                     const double (&origin)[2], const double (&size)[2], const Grid& g, std::size_t parts,
                     TiledRecords& result) {
    const Split split{static_cast<std::size_t>(n),
                      std::min<std::size_t>(parts, static_cast<std::size_t>(most_counted / g.cells()))};
    BulkMemory cells(static_cast<std::size_t>(n) * sizeof(std::uint32_t), false);
    auto* const cell = reinterpret_cast<std::uint32_t*>(cells.data());
    std::vector<std::vector<std::int64_t>> next(split.parts, std::vector<std::int64_t>(g.cells() + 1, 0));
    std::vector<char> within(split.parts, 0);
    with_reader(xyz, [&](auto read) {
        ThreadPool::shared().run(
            split.parts,
            [&](std::size_t part) {
                within[part] =
                    cell_records(records, record_bytes, read, origin, size, g, split, part, cell, next[part].data());
            },
            static_cast<int>(split.parts));
    });
    if (std::find(within.begin(), within.end(), 0) != within.end()) return false;
    for (const auto& counts : next) result.nan += counts[g.cells()];
    result.records = BulkMemory(static_cast<std::size_t>(n) * record_bytes, false);
    result.runs = place_by_cell(next, cell, g, split, records, record_bytes, result.records.data());
    return true;
}

// Tiles too far apart to count: the finite records sorted stably by tile, copied into `out` in
// that order, then those that are not finite.
std::vector<TileRun> sort_order(const Tiles& t, const std::uint8_t* records, std::size_t record_bytes,
                                std::uint8_t* out) {
    std::vector<std::size_t> order;
    for (std::size_t p = 0; p < t.count; ++p) {
        if (t.ix[p] != not_finite) order.push_back(p);
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return t.ix[a] != t.ix[b] ? t.ix[a] < t.ix[b] : t.iy[a] < t.iy[b];
    });
    std::vector<TileRun> runs;
    std::int64_t at = 0;
    for (const std::size_t p : order) {
        if (runs.empty() || runs.back().ix != t.ix[p] || runs.back().iy != t.iy[p]) {
            runs.push_back({t.ix[p], t.iy[p], at, at});
        }
        copy_record(out + static_cast<std::size_t>(at++) * record_bytes, records + p * record_bytes, record_bytes);
        runs.back().stop = at;
    }
    for (std::size_t p = 0; p < t.count; ++p) {
        if (t.ix[p] == not_finite) {
            copy_record(out + static_cast<std::size_t>(at++) * record_bytes, records + p * record_bytes, record_bytes);
        }
    }
    return runs;
}

}  // namespace

TiledRecords arrange_by_tile(const std::uint8_t* records, std::size_t record_bytes, std::int64_t n,
                             const VoxelValue (&xyz)[3], const double (&origin)[2], const double (&size)[2]) {
    // A part for each share of records the pool hands out (a MiB), up to parts_per_thread a
    // thread: threads take parts as they end one, so one slowed (by another process on its core,
    // say) holds the others up by a part, not by half the work.
    ThreadPool& pool = ThreadPool::shared();
    const auto bytes = static_cast<std::int64_t>(static_cast<std::uint64_t>(n) * record_bytes);
    const std::int64_t share = std::max<std::int64_t>(pool.min_bytes(), 1);
    const std::size_t parts =
        pool.worth_sharing(bytes)
            ? static_cast<std::size_t>(std::clamp<std::int64_t>(bytes / share, 1, parts_per_thread * pool.threads()))
            : 1;
    TiledRecords result;
    if (const std::optional<Grid> g = sampled_grid(records, record_bytes, n, xyz, origin, size)) {
        if (arrange_in_grid(records, record_bytes, n, xyz, origin, size, *g, parts, result)) return result;
    }
    // The extent of every record first, then each one's cell.
    Tiles t = tiles_of(records, record_bytes, n, xyz, origin, size, parts);
    const Extent& e = t.extent;
    result.nan = n - e.finite;
    result.records = BulkMemory(static_cast<std::size_t>(bytes), false);
    std::uint8_t* const out = result.records.data();
    Grid g;
    g.low_x = e.low_x, g.low_y = e.low_y;
    g.span_x = static_cast<std::uint64_t>(e.high_x) - static_cast<std::uint64_t>(e.low_x) + 1;
    g.span_y = static_cast<std::uint64_t>(e.high_y) - static_cast<std::uint64_t>(e.low_y) + 1;
    if (g.span_x > most_counted || g.span_y > most_counted / g.span_x) {
        result.runs = sort_order(t, records, record_bytes, out);
        return result;
    }
    // Counted, with a count per tile for each part (in fewer parts than the indices took, when the
    // tiles are many): far fewer tiles than records per part.
    t.parts = std::min<std::size_t>(t.parts, static_cast<std::size_t>(most_counted / g.cells()));
    result.runs = count_order(t, g, records, record_bytes, out);
    return result;
}

}  // namespace vantrel
