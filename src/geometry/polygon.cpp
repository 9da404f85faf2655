#include "geometry/polygon.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "geometry/bucket_order.h"
#include "pcd/thread_pool.h"

namespace vantrel {
namespace {

using Index = std::int32_t;

constexpr std::int64_t most_columns = std::int64_t{1} << 16;  // 16 words of 64 words of 64 bits (Play)
// An edge over more columns than this is not listed in them but tested by every point at its height:
// few are, in any outline whose columns are about as wide as its edges.
constexpr std::int64_t widest_listed = 64;
// Points (or edges) that are worth a thread's work: a band of the sweep takes at least this many,
// as each first takes in the edges in play at its foot, about a pass over half the edges.
constexpr std::int64_t least_shared = std::int64_t{1} << 16;

// The rings' edges: edge e runs from vertex from[e] to vertex e.
class Edges {
public:
    Edges(const double* vertices, const std::int64_t* starts, std::int64_t rings) : v_(vertices) {
        const std::int64_t m = rings > 0 ? starts[rings] : 0;
        if (m >= std::numeric_limits<Index>::max()) throw std::length_error("an outline of 2^31 vertices or more");
        from_.resize(static_cast<std::size_t>(m));
        for (std::int64_t r = 0; r < rings; ++r) {
            for (std::int64_t k = starts[r]; k < starts[r + 1]; ++k) {
                from_[static_cast<std::size_t>(k)] = static_cast<Index>(k == starts[r] ? starts[r + 1] - 1 : k - 1);
            }
        }
        bounds_.resize(from_.size());
        for (Index e = 0; e < size(); ++e) bounds_[static_cast<std::size_t>(e)] = bounds(e);
        for (std::int64_t k = 0; k < m; ++k) {
            box_[0] = std::min(box_[0], v_[2 * k]), box_[1] = std::min(box_[1], v_[2 * k + 1]);
            box_[2] = std::max(box_[2], v_[2 * k]), box_[3] = std::max(box_[3], v_[2 * k + 1]);
        }
    }

    // Whether a point lies within the vertices' bounding box, sides included (false for NaN).
    // Beyond it, a point's ray crosses no edge, or every edge at its height: an even number.
    bool near(double x, double y) const noexcept {
        return x >= box_[0] && x <= box_[2] && y >= box_[1] && y <= box_[3];
    }

    Index size() const noexcept { return static_cast<Index>(from_.size()); }
    double x0(Index e) const noexcept { return v_[2 * std::int64_t{from_[static_cast<std::size_t>(e)]}]; }
    double y0(Index e) const noexcept { return v_[2 * std::int64_t{from_[static_cast<std::size_t>(e)]} + 1]; }
    double x1(Index e) const noexcept { return v_[2 * std::int64_t{e}]; }
    double y1(Index e) const noexcept { return v_[2 * std::int64_t{e} + 1]; }
    double low(Index e) const noexcept { return std::min(y0(e), y1(e)); }
    double high(Index e) const noexcept { return std::max(y0(e), y1(e)); }

    // x0 + (y - y0) * (x1 - x0) / (y1 - y0), as evaluated for y within the span, lies within
    // [left, right] (see bounds). Kept as floats rounded outward: half the memory.
    double left(Index e) const noexcept { return bounds_[static_cast<std::size_t>(e)].left; }
    double right(Index e) const noexcept { return bounds_[static_cast<std::size_t>(e)].right; }

    // The rule itself, as written (this file is compiled without fused multiply-adds).
    bool crossed(Index e, double x, double y) const noexcept {
        const double ex0 = x0(e), ey0 = y0(e);
        return x < ex0 + (y - ey0) * (x1(e) - ex0) / (y1(e) - ey0);
    }

private:
    struct Bounds {
        float left, right;
    };

    // (y - y0) / (y1 - y0) is at most 1 in magnitude (y - y0 rounds to no more than y1 - y0), so
    // the value lies between x0 and x1 but for rounding: a relative error of a few units in the
    // last place of |x0| + |x1|, and the absolute error of a product that falls below the normal
    // numbers, divided by y1 - y0. An edge where a step could overflow is always evaluated.
    Bounds bounds(Index e) const noexcept {
        constexpr double epsilon = std::numeric_limits<double>::epsilon();
        constexpr double tiny = std::numeric_limits<double>::denorm_min();
        constexpr double most = std::numeric_limits<double>::max() / 16;
        const double dx = std::fabs(x1(e) - x0(e)), dy = std::fabs(y1(e) - y0(e));
        const double reach = std::fabs(x0(e)) + std::fabs(x1(e));
        if (!(dx < most && reach < most && dx * dy < most)) {
            return {-std::numeric_limits<float>::infinity(), std::numeric_limits<float>::infinity()};
        }
        // Bounded above by a normal number where it can be: a quotient below the normal numbers
        // takes a hundred times as long as a normal one on common processors.
        const double underflow = dy >= 0x1p-900 ? 0x1p-171 : 4 * tiny / dy + 8 * tiny;
        const double slack = 8 * epsilon * reach + underflow;
        return {down(std::min(x0(e), x1(e)) - slack), up(std::max(x0(e), x1(e)) + slack)};
    }
    static float down(double value) noexcept {
        const auto near = static_cast<float>(value);
        return static_cast<double>(near) > value ? std::nextafter(near, -std::numeric_limits<float>::infinity()) : near;
    }
    static float up(double value) noexcept {
        const auto near = static_cast<float>(value);
        return static_cast<double>(near) < value ? std::nextafter(near, std::numeric_limits<float>::infinity()) : near;
    }

    const double* v_;
    std::vector<Index> from_;
    std::vector<Bounds> bounds_;
    double box_[4] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                      -std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
};

// The edges in order of their lowest y, or of their highest (as indices alone: an outline's own
// memory). Each key is read from the vertices as it is needed, not copied out: a copy would be
// 8 bytes an edge for each order while they are made, more than the orders themselves.
BulkArray<Index> edges_in_order(const Edges& edges, bool by_high) {
    const auto key = [&](Index e) { return by_high ? edges.high(e) : edges.low(e); };
    return in_order<Index>(
        static_cast<std::size_t>(edges.size()), [&](std::size_t e) { return key(static_cast<Index>(e)); },
        [](std::size_t e) { return static_cast<Index>(e); }, key);
}

// Columns of x for the sweeps, fixed by the outline, and the first and last column of each edge's
// extent, worked out once rather than at each sweep's entry and exit of every edge.
class Columns {
public:
    explicit Columns(const Edges& edges) {
        if (edges.size() == 0) return;  // one column; no extent to divide
        double lo = std::numeric_limits<double>::infinity(), hi = -lo;
        for (Index e = 0; e < edges.size(); ++e) lo = std::min(lo, edges.x1(e)), hi = std::max(hi, edges.x1(e));
        // Columns a quarter as wide as a typical edge (the median of a sample), or finer if the
        // outline is wide: an edge is listed in a few, and a point meets few edges that are not
        // beside it.
        std::vector<double> widths;
        const Index step = std::max<Index>(1, edges.size() / 4096);
        for (Index e = 0; e < edges.size(); e += step) widths.push_back(edges.right(e) - edges.left(e));
        std::nth_element(widths.begin(), widths.begin() + static_cast<std::ptrdiff_t>(widths.size() / 2), widths.end());
        const double typical = widths.empty() ? 0 : widths[widths.size() / 2] / 4;
        // No more than a few columns an edge: each band of a sweep makes a list for every column.
        const std::int64_t most = std::min<std::int64_t>(most_columns, 4 * std::int64_t{edges.size()} + 64);
        width_ = std::max({std::isfinite(typical) ? typical : 0, (hi - lo) / static_cast<double>(most),
                           std::numeric_limits<double>::min()});
        origin_ = lo;
        const double span = (hi - lo) / width_;
        count_ = span < static_cast<double>(most) ? static_cast<std::int64_t>(span) + 1 : most;
        spans_.resize(static_cast<std::size_t>(edges.size()));
        for (Index e = 0; e < edges.size(); ++e) {
            spans_[static_cast<std::size_t>(e)] = {static_cast<std::uint16_t>(column(edges.left(e))),
                                                   static_cast<std::uint16_t>(column(edges.right(e)))};
        }
    }

    std::int64_t count() const noexcept { return count_; }
    std::int64_t column(double x) const noexcept {
        const double at = (x - origin_) / width_;  // monotone in x, so columns keep x's order
        if (!(at >= 0)) return 0;
        return at < static_cast<double>(count_ - 1) ? static_cast<std::int64_t>(at) : count_ - 1;
    }
    std::int64_t first(Index e) const noexcept { return spans_[static_cast<std::size_t>(e)].first; }
    std::int64_t last(Index e) const noexcept { return spans_[static_cast<std::size_t>(e)].last; }

private:
    static_assert(most_columns <= std::int64_t{1} << 16, "a column in 16 bits");
    struct Span {
        std::uint16_t first, last;
    };
    std::vector<Span> spans_;
    double origin_ = 0, width_ = 1;
    std::int64_t count_ = 1;
};

// The edges in play (those whose span holds the sweep's height), by columns of x: each listed in
// the columns its extent covers, and counted by the column of its left bound, so that a point
// counts the edges wholly to its right at once and evaluates only those beside it.
class Play {
public:
    Play(const Edges& edges, const Columns& columns)
        : edges_(edges),
          columns_(columns),
          state_(static_cast<std::size_t>(edges.size()), idle),
          lists_(static_cast<std::size_t>(columns.count())),
          parity_(static_cast<std::size_t>(columns.count() + 63) / 64, 0) {}

    // Edges whose span starts at or below y join, unless it has ended there too.
    void enter(Index e, double y) {
        if (edges_.high(e) <= y) {
            state_[static_cast<std::size_t>(e)] = done;
            return;
        }
        state_[static_cast<std::size_t>(e)] = playing;
        const std::int64_t first = columns_.first(e), last = columns_.last(e);
        flip(first);
        if (last - first + 1 > widest_listed) {
            wide_.push_back(e);
            return;
        }
        for (std::int64_t c = first; c <= last; ++c) lists_[static_cast<std::size_t>(c)].push_back(e);
        listed_ += last - first + 1;
        live_ += last - first + 1;
    }

    void leave(Index e) {
        if (state_[static_cast<std::size_t>(e)] != playing) {
            state_[static_cast<std::size_t>(e)] = done;
            return;
        }
        state_[static_cast<std::size_t>(e)] = done;
        const std::int64_t first = columns_.first(e), last = columns_.last(e);
        flip(first);
        if (last - first + 1 <= widest_listed) live_ -= last - first + 1;
        if (listed_ > 2 * live_ + 65536) compact();  // ended edges in columns no point has visited
    }

    // Whether the ray from (x, y) to the right crosses an odd number of the edges in play.
    unsigned odd(double x, double y) {
        const std::int64_t c = columns_.column(x);
        unsigned crossings = right_of(c);  // left bound in a column right of x's
        std::vector<Index>& listed = lists_[static_cast<std::size_t>(c)];
        for (std::size_t k = 0; k < listed.size();) {
            const Index e = listed[k];
            if (state_[static_cast<std::size_t>(e)] != playing) {
                listed[k] = listed.back();
                listed.pop_back();
                --listed_;
                continue;
            }
            crossings ^= beside(e, x, y);
            ++k;
        }
        for (std::size_t k = 0; k < wide_.size();) {
            const Index e = wide_[k];
            if (state_[static_cast<std::size_t>(e)] != playing) {
                wide_[k] = wide_.back();
                wide_.pop_back();
                continue;
            }
            if (columns_.first(e) <= c) crossings ^= beside(e, x, y);  // else counted above
            ++k;
        }
        return crossings;
    }

private:
    static constexpr std::uint8_t idle = 0, playing = 1, done = 2;

    // Whether an edge in play whose left bound lies in x's column or before is crossed: wholly
    // right of x (its left bound then in x's column), wholly left, or evaluated.
    unsigned beside(Index e, double x, double y) const noexcept {
        if (edges_.left(e) > x) return 1;
        return x < edges_.right(e) && edges_.crossed(e, x, y) ? 1 : 0;
    }

    // Only the count's parity decides, so the edges in play are counted by one bit a column (the
    // parity of those whose left bound lies in it), with a bit for each word of those bits and one
    // for each 64 words: an edge's entry or exit flips three bits, and the parity right of a column
    // is three words' parities, all in a few kilobytes.
    void flip(std::int64_t c) noexcept {
        const auto column = static_cast<std::uint64_t>(c);
        parity_[column / 64] ^= std::uint64_t{1} << (column % 64);
        words_[column / 4096] ^= std::uint64_t{1} << (column / 64 % 64);
        groups_ ^= std::uint64_t{1} << (column / 4096);
    }
    unsigned right_of(std::int64_t c) const noexcept {
        const auto column = static_cast<std::uint64_t>(c);
        const auto after = [](std::uint64_t bits, std::uint64_t at) noexcept {  // the parity of the bits above bit at
            return static_cast<unsigned>(__builtin_parityll(at == 63 ? 0 : bits >> (at + 1)));
        };
        return after(parity_[column / 64], column % 64) ^ after(words_[column / 4096], column / 64 % 64) ^
               after(groups_, column / 4096);
    }

    void compact() {
        for (std::vector<Index>& listed : lists_) {
            listed.erase(std::remove_if(listed.begin(), listed.end(),
                                        [&](Index e) { return state_[static_cast<std::size_t>(e)] != playing; }),
                         listed.end());
        }
        listed_ = live_;
    }

    const Edges& edges_;
    const Columns& columns_;
    std::vector<std::uint8_t> state_;
    std::vector<std::vector<Index>> lists_;
    std::vector<Index> wide_;
    std::vector<std::uint64_t> parity_;
    std::array<std::uint64_t, 16> words_{};
    std::uint64_t groups_ = 0;
    std::int64_t listed_ = 0, live_ = 0;
};

}  // namespace

struct Outline::Ordered {
    Ordered(const double* vertices, const std::int64_t* starts, std::int64_t rings)
        : edges(vertices, starts, rings), columns(edges) {
        // The two orders side by side, where there are threads for them and edges enough to pay.
        const bool apart =
            edges.size() >= least_shared && ThreadPool::shared().worth_sharing(std::int64_t{edges.size()} * 16);
        ThreadPool::shared().run(
            2, [&](std::size_t high) { (high ? by_high : by_low) = edges_in_order(edges, high != 0); }, apart ? 2 : 1);
    }
    Edges edges;
    Columns columns;
    BulkArray<Index> by_low, by_high;  // the edges in order of their lowest y, and of their highest
};

Outline::Outline(const double* vertices, const std::int64_t* starts, std::int64_t rings)
    : ordered_(std::make_unique<Ordered>(vertices, starts, rings)) {}

Outline::~Outline() = default;
Outline::Outline(Outline&&) noexcept = default;
Outline& Outline::operator=(Outline&&) noexcept = default;

namespace {

// The edges' ends that a sweep meets, in order: those below a height taken in at once, then the
// rest one at a time as the sweep rises.
class Sweep {
public:
    Sweep(const Edges& edges, const Columns& columns, const BulkArray<Index>& by_low, const BulkArray<Index>& by_high)
        : edges_(edges), by_low_(by_low), by_high_(by_high), play_(edges, columns) {}

    // The edges in play at height y, for a sweep that starts there: from whichever end of the
    // edges lies nearer, those whose span holds y entered, and the sweep's places in both orders
    // past every end at or below y.
    void start_at(double y) {
        const auto low_above =
            std::partition_point(by_low_.begin(), by_low_.end(), [&](Index e) { return edges_.low(e) <= y; });
        const auto high_above =
            std::partition_point(by_high_.begin(), by_high_.end(), [&](Index e) { return edges_.high(e) <= y; });
        entering_ = static_cast<std::size_t>(low_above - by_low_.begin());
        leaving_ = static_cast<std::size_t>(high_above - by_high_.begin());
        if (entering_ <= by_high_.size() - leaving_) {
            // Those begun at or below y: the ones not ended there are in play.
            for (auto e = by_low_.begin(); e != low_above; ++e) {
                if (edges_.high(*e) > y) play_.enter(*e, y);
            }
        } else {
            // Those ending above y: the ones begun at or below it are in play.
            for (auto e = high_above; e != by_high_.end(); ++e) {
                if (edges_.low(*e) <= y) play_.enter(*e, y);
            }
        }
    }

    // Whether the ray from (x, y) crosses an odd number of edges, y at or above the last height.
    unsigned odd(double x, double y) {
        while (entering_ < by_low_.size() && edges_.low(by_low_[entering_]) <= y) play_.enter(by_low_[entering_++], y);
        while (leaving_ < by_high_.size() && edges_.high(by_high_[leaving_]) <= y) play_.leave(by_high_[leaving_++]);
        return play_.odd(x, y);
    }

private:
    const Edges& edges_;
    const BulkArray<Index>& by_low_;
    const BulkArray<Index>& by_high_;
    Play play_;
    std::size_t entering_ = 0, leaving_ = 0;
};

// Point p's coordinate in a column of Ts, each read as a double (exact for a float).
template <typename T>
struct Strided {
    const char* data;
    std::int64_t stride;
    const char* at(std::int64_t p) const noexcept { return data + p * stride; }
    double operator[](std::int64_t p) const noexcept {
        T value;
        std::memcpy(&value, at(p), sizeof value);
        return static_cast<double>(value);
    }
};

// f(the column's reader): a Strided<float> or a Strided<double>.
template <typename F>
void read_column(Outline::Column column, F&& f) {
    const auto* data = static_cast<const char*>(column.data);
    if (column.single) return f(Strided<float>{data, column.stride});
    f(Strided<double>{data, column.stride});
}

// The sweep of n points, their coordinates read through xs[p] and ys[p].
template <typename Xs, typename Ys>
void sweep_points(const Edges& edges, const Columns& columns, const BulkArray<Index>& by_low,
                  const BulkArray<Index>& by_high, Xs xs, Ys ys, std::int64_t n, std::uint8_t* hits,
                  std::int64_t bands) {
    ThreadPool& pool = ThreadPool::shared();
    // Only the points within the bounding box take part, each then finite: counted first, so that
    // their list takes 4 bytes a point, in memory given back to the system when the sweep ends.
    std::int64_t m = 0;
    for (std::int64_t p = 0; p < n; ++p) m += edges.near(xs[p], ys[p]) ? 1 : 0;
    if (m == 0) return;
    BulkArray<Index> near(false);
    near.resize_for_overwrite(static_cast<std::size_t>(m));
    for (std::int64_t p = 0, k = 0; p < n; ++p) {
        if (edges.near(xs[p], ys[p])) near[static_cast<std::size_t>(k++)] = static_cast<Index>(p);
    }
    const bool share = pool.worth_sharing(m * 16);  // each point's y and place, ordered
    bands = bands > 0 ? std::min(bands, m) : share ? std::clamp<std::int64_t>(m / least_shared, 1, pool.threads()) : 1;
    struct PointAt {
        double key;  // y
        Index p;
    };
    // The points' heights in order beside their places, so that the sweep reads them in turn; their
    // x is read from xs, asked for a few points ahead (a copy beside y would be 8 bytes a point more).
    const auto points = in_order<PointAt>(
        near.size(), [&](std::size_t k) { return ys[near[k]]; },
        [&](std::size_t k) {
            const Index p = near[k];
            return PointAt{ys[p], p};
        },
        [](const PointAt& point) { return point.key; }, static_cast<std::size_t>(bands), false);
    BulkArray<Index>().swap(near);  // spent: the sweep's memory is the points' order alone
    // Bands of the points, one above another, swept side by side: a point's answer depends on its
    // height alone, so any band may start with the edges in play at its foot.
    pool.run(
        static_cast<std::size_t>(bands),
        [&](std::size_t band) {
            const auto b = static_cast<std::int64_t>(band);
            const auto first = static_cast<std::size_t>(m * b / bands),
                       end = static_cast<std::size_t>(m * (b + 1) / bands);
            Sweep sweep(edges, columns, by_low, by_high);
            if (b > 0) sweep.start_at(points[first].key);
            constexpr std::size_t ahead = 16;
            for (std::size_t k = first; k < end; ++k) {  // up the band's points
                if (k + ahead < end) __builtin_prefetch(xs.at(points[k + ahead].p));
                const PointAt& point = points[k];
                hits[point.p] ^= static_cast<std::uint8_t>(sweep.odd(xs[point.p], point.key));
            }
        },
        static_cast<int>(bands));
}

}  // namespace

void Outline::cross(const double* xs, const double* ys, std::int64_t n, std::uint8_t* hits, std::int64_t bands) const {
    cross(Column{xs, sizeof(double), false}, Column{ys, sizeof(double), false}, n, hits, bands);
}

void Outline::cross(Column xs, Column ys, std::int64_t n, std::uint8_t* hits, std::int64_t bands) const {
    if (n <= 0 || ordered_->edges.size() == 0) return;
    if (n >= std::numeric_limits<Index>::max()) throw std::length_error("2^31 points or more at once");
    const Ordered& o = *ordered_;
    read_column(xs, [&](auto x) {
        read_column(ys, [&](auto y) { sweep_points(o.edges, o.columns, o.by_low, o.by_high, x, y, n, hits, bands); });
    });
}

}  // namespace vantrel
