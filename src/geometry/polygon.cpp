#include "geometry/polygon.h"

#include <algorithm>

namespace vantrel {
namespace {

// lower_bound of `value` in ys[0, n), searched outward from `hint`: an outline's consecutive edges
// share a vertex, so each edge's bounds lie near the last edge's, and a search from there costs
// the log of the distance, in memory the last search just touched, not the log of n.
std::int64_t lower_bound_near(const double* ys, std::int64_t n, std::int64_t hint, double value) noexcept {
    std::int64_t low = 0, high = n;                        // the answer lies in [low, high]
    if (hint > 0 && hint <= n && ys[hint - 1] >= value) {  // below the hint: step down
        std::int64_t step = 1;
        high = hint - 1;
        while (high - step > 0 && ys[high - step] >= value) high -= step, step *= 2;
        low = std::max<std::int64_t>(0, high - step);
    } else if (hint < n) {  // at or above it: step up
        std::int64_t step = 1;
        low = std::max<std::int64_t>(hint, 0);
        while (low + step < n && ys[low + step] < value) low += step, step *= 2;
        high = std::min(n, low + step + 1);
    } else {
        low = n;
    }
    return std::lower_bound(ys + low, ys + high, value) - ys;
}

}  // namespace

void cross_ring(const double* xs, const double* ys, std::int64_t n, const double* ring, std::int64_t m,
                std::uint8_t* hits) noexcept {
    std::int64_t hint = 0;
    for (std::int64_t k = 0; k < m; ++k) {
        const double* from = ring + 2 * (k == 0 ? m - 1 : k - 1);
        const double* to = ring + 2 * k;
        const double x0 = from[0], y0 = from[1], x1 = to[0], y1 = to[1];
        // The points with min(y0, y1) <= y < max(y0, y1): none for a level edge.
        const std::int64_t low = lower_bound_near(ys, n, hint, std::min(y0, y1));
        const std::int64_t high = lower_bound_near(ys, n, low, std::max(y0, y1));
        hint = y1 < y0 ? low : high;  // where the next edge starts: this one's end, y1
        const double dx = x1 - x0, dy = y1 - y0;
        for (std::int64_t p = low; p < high; ++p) {
            const double at = x0 + (ys[p] - y0) * dx / dy;
            hits[p] ^= static_cast<std::uint8_t>(xs[p] < at);
        }
    }
}

}  // namespace vantrel
