// Which points lie inside an outline by the even-odd rule, for crop by a
// polygon of any number of vertices: a sweep up the points in y order (bands
// of it side by side on the pool's threads), the edges taken in and out of
// play at their ends, so that a point is tested against the few edges beside
// it, not every edge its height crosses.
#pragma once

#include <cstdint>
#include <memory>

namespace vantrel {

// The edges of an outline's rings, ordered once for the sweeps of every chunk
// of points. The rings' vertices are x y pairs (all finite), kept by the
// caller while the Outline lives; ring r holds vertices starts[r] to
// starts[r + 1] - 1 and is closed from its last vertex back to its first.
// Memory: about 25 bytes an edge (27 while it is made). Throws
// std::bad_alloc, and std::length_error for 2^31 vertices or more.
class Outline {
public:
    Outline(const double* vertices, const std::int64_t* starts, std::int64_t rings);
    ~Outline();
    Outline(Outline&&) noexcept;
    Outline& operator=(Outline&&) noexcept;
    Outline(const Outline&) = delete;
    Outline& operator=(const Outline&) = delete;

    // Flips hits[p] for each point p (xs, ys: n points in any order) whose ray
    // to the right crosses an odd number of the edges; the points outside the
    // vertices' bounding box, or with a coordinate that is not finite (NaN
    // included), are never flipped, nor ordered for the sweep. A ray
    // crosses the edge from (x0, y0) to (x1, y1) when y0 <= y < y1 or
    // y1 <= y < y0, and x < x0 + (y - y0) * (x1 - x0) / (y1 - y0), evaluated
    // as written, in that order, without fused multiply-adds, so that it
    // decides as NumPy does. An edge is evaluated so only for a point within
    // its extent in x (widened by the bound on that expression's rounding);
    // beyond it, the answer is known. The points are swept in `bands` of
    // heights (0: one for each of the shared pool's threads that 2^16 points
    // keep busy) side by side, the same answers for any number. Memory: about
    // 22 bytes a point within the bounding box (16 while swept), and for each
    // band a byte an edge and the edges in play at once. Throws
    // std::bad_alloc, and std::length_error for 2^31 points or more.
    void cross(const double* xs, const double* ys, std::int64_t n, std::uint8_t* hits, std::int64_t bands = 0) const;

    // Coordinates where they lie, as a cloud's records hold them: point p's
    // at data + p * stride (any stride, any alignment), a float or a double.
    struct Column {
        const void* data;
        std::int64_t stride;  // in bytes
        bool single;          // float, else double
    };
    // cross() of coordinates read from their columns, each exactly as a
    // double: the same answers as for a copy of them as doubles.
    void cross(Column xs, Column ys, std::int64_t n, std::uint8_t* hits, std::int64_t bands = 0) const;

private:
    struct Ordered;
    std::unique_ptr<Ordered> ordered_;
};

}  // namespace vantrel
