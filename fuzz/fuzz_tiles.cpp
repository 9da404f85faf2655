// The tile kernel of tile, fed records made of the input's bytes: its copy
// must hold the records in the order a stable sort by tile gives, those with a
// coordinate that is not finite last, with each tile's run, or it must refuse
// a tile index beyond 2^62. Most values are small, so that records share
// tiles, fall on their edges and lie just beyond the tiles that the kernel
// guesses from a sample; some are any double the bytes spell.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "fuzz/fuzz_load.h"
#include "geometry/tile_order.h"

namespace {

using vantrel::Element;

// The input's bytes as values, from `at` on, wrapping round.
class Values {
public:
    Values(const std::uint8_t* data, std::size_t size, std::size_t at) : data_(data), size_(size), at_(at) {}

    double next() {
        const std::uint8_t kind = byte();
        if (kind < 180) return static_cast<double>(static_cast<int>(kind % 16) - 8) / 2;
        if (kind < 240) return (static_cast<int>(byte()) - 128) * 3.0;
        std::uint64_t bits = 0;
        for (int b = 0; b < 8; ++b) bits = bits << 8 | byte();
        double value = 0;
        std::memcpy(&value, &bits, sizeof value);
        return value;  // NaN and infinities included
    }

private:
    std::uint8_t byte() { return data_[at_++ % size_]; }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_;
};

struct Expected {
    std::vector<std::size_t> order;  // record numbers
    std::vector<vantrel::TileRun> runs;
    std::int64_t nan = 0;
    bool overflow = false;
};

// The tiles as the kernel states them, record by record, and a stable sort by them.
Expected expected(const std::vector<double>& xyz, const double (&origin)[2], const double (&size)[2]) {
    Expected e;
    const std::size_t n = xyz.size() / 3;
    std::vector<std::int64_t> ix(n), iy(n);
    std::vector<std::size_t> finite, nan;
    for (std::size_t p = 0; p < n; ++p) {
        const double x = xyz[3 * p], y = xyz[3 * p + 1], z = xyz[3 * p + 2];
        if (!(std::isfinite(x) && std::isfinite(y) && std::isfinite(z))) {
            nan.push_back(p);
            continue;
        }
        const double qx = (x - origin[0]) / size[0], qy = (y - origin[1]) / size[1];
        if (!(std::fabs(qx) < 4611686018427387904.0 && std::fabs(qy) < 4611686018427387904.0)) e.overflow = true;
        if (e.overflow) continue;
        ix[p] = static_cast<std::int64_t>(std::floor(qx)), iy[p] = static_cast<std::int64_t>(std::floor(qy));
        finite.push_back(p);
    }
    std::stable_sort(finite.begin(), finite.end(),
                     [&](std::size_t a, std::size_t b) { return ix[a] != ix[b] ? ix[a] < ix[b] : iy[a] < iy[b]; });
    for (const std::size_t p : finite) {
        const auto at = static_cast<std::int64_t>(e.order.size());
        if (e.runs.empty() || e.runs.back().ix != ix[p] || e.runs.back().iy != iy[p])
            e.runs.push_back({ix[p], iy[p], at, at});
        e.order.push_back(p);
        e.runs.back().stop = at + 1;
    }
    e.order.insert(e.order.end(), nan.begin(), nan.end());
    e.nan = static_cast<std::int64_t>(nan.size());
    return e;
}

}  // namespace

std::uint64_t check_tiles(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::size_t n = data[0] % 200;  // a sample of 1 to 4 records
    // All floats, all doubles, or doubles and floats mixed, one byte in front: unaligned records.
    const int kinds = data[1] % 3;
    const Element kind[3] = {kinds == 0 ? Element::f32 : Element::f64, kinds == 1 ? Element::f64 : Element::f32,
                             kinds == 1 ? Element::f64 : Element::f32};
    const vantrel::VoxelValue where[3] = {
        {1, kind[0]},
        {1 + (kind[0] == Element::f64 ? 8u : 4u), kind[1]},
        {1 + (kind[0] == Element::f64 ? 8u : 4u) + (kind[1] == Element::f64 ? 8u : 4u), kind[2]}};
    const std::size_t record_bytes = where[2].offset + (kind[2] == Element::f64 ? 8 : 4);
    static constexpr double sizes[4] = {0.5, 1, 3, 1e-12};
    const double tile[2] = {sizes[data[2] % 4], sizes[data[2] / 4 % 4]};
    Values values(data, size, 3);
    const double origin[2] = {data[3] % 2 ? values.next() : 0, data[3] % 4 > 1 ? values.next() : 0};
    if (!(std::isfinite(origin[0]) && std::isfinite(origin[1]))) return 0;
    std::vector<double> xyz(3 * n);
    std::vector<std::uint8_t> records(n * record_bytes);
    for (std::size_t p = 0; p < n; ++p) {
        for (int c = 0; c < 3; ++c) {
            double v = values.next();
            std::uint8_t* at = &records[p * record_bytes + where[c].offset];
            if (kind[c] == Element::f32) {
                const float f = std::fabs(v) > 3.4e38 && std::isfinite(v) ? static_cast<float>(v > 0 ? 1e38 : -1e38)
                                                                          : static_cast<float>(v);
                std::memcpy(at, &f, sizeof f);
                v = f;
            } else {
                std::memcpy(at, &v, sizeof v);
            }
            xyz[3 * p + static_cast<std::size_t>(c)] = v;
        }
    }
    const Expected e = expected(xyz, origin, tile);
    vantrel::TiledRecords got;
    try {
        got = vantrel::arrange_by_tile(records.data(), record_bytes, static_cast<std::int64_t>(n), where, origin, tile);
    } catch (const std::overflow_error&) {
        if (!e.overflow) std::abort();
        return 1;
    }
    if (e.overflow || got.nan != e.nan || got.runs.size() != e.runs.size()) std::abort();
    for (std::size_t r = 0; r < e.runs.size(); ++r) {
        const vantrel::TileRun &a = got.runs[r], &b = e.runs[r];
        if (a.ix != b.ix || a.iy != b.iy || a.start != b.start || a.stop != b.stop) std::abort();
    }
    std::uint64_t digest = 0xcbf29ce484222325ull;
    for (std::size_t k = 0; k < n; ++k) {
        if (std::memcmp(got.records.data() + k * record_bytes, &records[e.order[k] * record_bytes], record_bytes) != 0)
            std::abort();
        digest = (digest ^ e.order[k]) * 0x100000001b3ull;
    }
    return digest;
}
