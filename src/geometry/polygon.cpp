#include "geometry/polygon.h"

#include <algorithm>

namespace vantrel {

void cross_ring(const double* xs, const double* ys, std::int64_t n, const double* ring, std::int64_t m,
                std::uint8_t* hits) noexcept {
    const double* const end = ys + n;
    for (std::int64_t k = 0; k < m; ++k) {
        const double* from = ring + 2 * (k == 0 ? m - 1 : k - 1);
        const double* to = ring + 2 * k;
        const double x0 = from[0], y0 = from[1], x1 = to[0], y1 = to[1];
        // The points with min(y0, y1) <= y < max(y0, y1): none for a level edge.
        const std::int64_t low = std::lower_bound(ys, end, std::min(y0, y1)) - ys;
        const std::int64_t high = std::lower_bound(ys, end, std::max(y0, y1)) - ys;
        const double dx = x1 - x0, dy = y1 - y0;
        for (std::int64_t p = low; p < high; ++p) {
            const double at = x0 + (ys[p] - y0) * dx / dy;
            hits[p] ^= static_cast<std::uint8_t>(xs[p] < at);
        }
    }
}

}  // namespace vantrel
