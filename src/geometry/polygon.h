// Which points lie inside an outline by the even-odd rule, for crop by a
// polygon of any number of vertices: each edge is tested against the points in
// its span of y alone, found by binary search in the points sorted by y, so
// that the work grows with the crossings, not with the points times the edges.
#pragma once

#include <cstdint>

namespace vantrel {

// Flips hits[p] for each point p (xs, ys: n points sorted by y, no NaN) whose
// ray to the right crosses an edge of the ring (m vertices, x y pairs, closed
// from the last back to the first): y0 <= y < y1 or y1 <= y < y0, and
// x < x0 + (y - y0) * (x1 - x0) / (y1 - y0), evaluated as written, in that
// order, without fused multiply-adds, so that it decides as NumPy does.
// Allocates nothing.
void cross_ring(const double* xs, const double* ys, std::int64_t n, const double* ring, std::int64_t m,
                std::uint8_t* hits) noexcept;

}  // namespace vantrel
