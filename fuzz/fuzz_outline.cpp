// The outline kernel of crop by a polygon, fed rings and points made of the
// input's bytes: its sweep must flip exactly the points that the rule, asked
// of every edge, puts inside. Most values are small integers, so that points
// fall on edges, on vertices and at vertices' heights; some are any finite
// double the bytes spell, for the bounds on the rule's rounding.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "fuzz/fuzz_load.h"
#include "geometry/polygon.h"

namespace {

// The input's bytes as values, from `at` on, wrapping round.
class Values {
public:
    Values(const std::uint8_t* data, std::size_t size, std::size_t at) : data_(data), size_(size), at_(at) {}

    double next() {
        const std::uint8_t kind = byte();
        if (kind < 200) return static_cast<double>(static_cast<int>(kind % 16) - 8);
        if (kind < 240) return (static_cast<int>(byte()) - 128) / 4.0;
        std::uint64_t bits = 0;
        for (int b = 0; b < 8; ++b) bits = bits << 8 | byte();
        double value = 0;
        std::memcpy(&value, &bits, sizeof value);
        return std::isfinite(value) ? value : 0.5;
    }

private:
    std::uint8_t byte() { return data_[at_++ % size_]; }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_;
};

// The rule as the kernel states it, of every edge: y0 <= y < y1 or y1 <= y < y0, and x left of
// the edge's x at y as written (this file is compiled without fused multiply-adds); never for a
// point outside the vertices' bounding box, where an edge's x that overflows would count.
bool inside(const std::vector<double>& vertices, const std::vector<std::int64_t>& starts, double x, double y) {
    double box[4] = {vertices[0], vertices[1], vertices[0], vertices[1]};
    for (std::size_t k = 0; k < vertices.size(); k += 2) {
        box[0] = std::min(box[0], vertices[k]), box[1] = std::min(box[1], vertices[k + 1]);
        box[2] = std::max(box[2], vertices[k]), box[3] = std::max(box[3], vertices[k + 1]);
    }
    if (!(x >= box[0] && x <= box[2] && y >= box[1] && y <= box[3])) return false;
    bool in = false;
    for (std::size_t r = 0; r + 1 < starts.size(); ++r) {
        for (std::int64_t k = starts[r]; k < starts[r + 1]; ++k) {
            const auto from = static_cast<std::size_t>(k == starts[r] ? starts[r + 1] - 1 : k - 1);
            const auto to = static_cast<std::size_t>(k);
            const double x0 = vertices[2 * from], y0 = vertices[2 * from + 1];
            const double x1 = vertices[2 * to], y1 = vertices[2 * to + 1];
            if (((y0 <= y && y < y1) || (y1 <= y && y < y0)) && x < x0 + (y - y0) * (x1 - x0) / (y1 - y0)) in = !in;
        }
    }
    return in;
}

// A double as a float, those beyond the floats' range infinite (a cast of them is undefined).
float narrowed(double v) {
    constexpr double most = std::numeric_limits<float>::max();
    if (v > most) return std::numeric_limits<float>::infinity();
    if (v < -most) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

}  // namespace

std::uint64_t check_outline(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const auto rings = static_cast<std::int64_t>(1 + data[0] % 3);
    std::vector<std::int64_t> starts = {0};
    for (std::int64_t r = 0; r < rings; ++r) starts.push_back(starts.back() + 1 + data[1 + r] % 40);
    const std::int64_t points = 1 + data[3] % 64;
    Values values(data, size, 4);
    std::vector<double> vertices(static_cast<std::size_t>(2 * starts.back()));
    for (double& v : vertices) v = values.next();
    std::vector<double> xs(static_cast<std::size_t>(points)), ys(xs.size());
    for (std::size_t p = 0; p < xs.size(); ++p) xs[p] = values.next(), ys[p] = values.next();
    const vantrel::Outline outline(vertices.data(), starts.data(), rings);
    std::vector<std::uint8_t> hits(xs.size(), 0);
    // Bands too, each starting from the edges in play at its foot.
    outline.cross(xs.data(), ys.data(), points, hits.data(), 1 + data[0] / 3 % 4);
    // The same outline swept again, as crop does chunk after chunk: the later points alone, in
    // another number of bands, flip them again (each then back to 0).
    const std::int64_t later = points / 2;
    outline.cross(xs.data() + later, ys.data() + later, points - later, hits.data() + later, 1 + data[0] / 12 % 3);
    for (std::size_t p = static_cast<std::size_t>(later); p < xs.size(); ++p) {
        if (hits[p] != 0) std::abort();
    }
    outline.cross(xs.data() + later, ys.data() + later, points - later, hits.data() + later, 1 + data[0] / 3 % 4);
    std::uint64_t digest = 0xcbf29ce484222325ull;
    for (std::size_t p = 0; p < xs.size(); ++p) {
        if ((hits[p] != 0) != inside(vertices, starts, xs[p], ys[p])) std::abort();
        digest = (digest ^ hits[p]) * 0x100000001b3ull;
    }
    // The points as floats within records of 9 bytes (unaligned, as a cloud's x and y lie), read
    // where they lie: the same flips as for their values copied out as doubles.
    std::vector<unsigned char> records(9 * xs.size() + 1);
    std::vector<double> xd(xs.size()), yd(xs.size());
    for (std::size_t p = 0; p < xs.size(); ++p) {
        const float x = narrowed(xs[p]), y = narrowed(ys[p]);
        std::memcpy(&records[9 * p + 1], &x, sizeof x);
        std::memcpy(&records[9 * p + 5], &y, sizeof y);
        xd[p] = x, yd[p] = y;
    }
    std::vector<std::uint8_t> as_floats(xs.size(), 0), as_doubles(xs.size(), 0);
    outline.cross({&records[1], 9, true}, {&records[5], 9, true}, points, as_floats.data(), 1 + data[0] / 5 % 3);
    outline.cross(xd.data(), yd.data(), points, as_doubles.data(), 1);
    if (as_floats != as_doubles) std::abort();
    return digest;
}
