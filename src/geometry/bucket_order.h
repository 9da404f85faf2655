// Items in order of a double key, about linear for keys spread over their
// range: the outline's edges by their lowest and highest y, and each chunk's
// points by theirs, for crop's sweep.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "pcd/bulk_memory.h"
#include "pcd/thread_pool.h"

namespace vantrel {

// Items made by make(i) for i from 0 to n - 1, in order of their key(i) (finite; of_item gives an
// item's), ties in any order: counted into buckets of equal width over the keys' range (an order
// kept by the buckets, as (key - lo) * scale never decreases), placed, then each bucket sorted
// where it lies; about linear for keys spread over their range. In `parts` of the items (and of
// the buckets) on the pool's threads, each counted and placed apart: the same order for any number.
// Fewer than 2^31 items, in bulk memory (`dense` as BulkArray's): a chunk's order is tens of MB,
// which the heap would keep once it is released. Throws std::bad_alloc.
template <class Item, class Key, class Make, class OfItem>
BulkArray<Item> in_order(std::size_t n, Key key, Make make, OfItem of_item, std::size_t parts = 1, bool dense = true) {
    BulkArray<Item> order(dense);
    order.resize_for_overwrite(n);
    if (n == 0) return order;
    parts = std::clamp<std::size_t>(parts, 1, n);
    ThreadPool& pool = ThreadPool::shared();
    const auto each_part = [&](auto&& work) {
        pool.run(
            parts, [&](std::size_t part) { work(part, n * part / parts, n * (part + 1) / parts); },
            static_cast<int>(parts));
    };
    std::vector<std::pair<double, double>> ranges(parts);
    each_part([&](std::size_t part, std::size_t begin, std::size_t end) {
        double lo = key(begin), hi = lo;
        for (std::size_t i = begin + 1; i < end; ++i) lo = std::min(lo, key(i)), hi = std::max(hi, key(i));
        ranges[part] = {lo, hi};
    });
    double lo = ranges[0].first, hi = ranges[0].second;
    for (const auto& range : ranges) lo = std::min(lo, range.first), hi = std::max(hi, range.second);
    const double range = hi - lo;
    const std::size_t buckets = std::clamp<std::size_t>(n / 4, 1, std::size_t{1} << 22);
    const double scale = range > 0 && std::isfinite(range) ? static_cast<double>(buckets) / range : 0;
    const auto bucket = [&](double k) noexcept {
        const double at = (k - lo) * scale;
        return at < static_cast<double>(buckets - 1) ? static_cast<std::size_t>(at) : buckets - 1;
    };
    // Each part's count of each bucket, then where its next item of that bucket goes.
    std::vector<std::vector<std::int32_t>> next(parts, std::vector<std::int32_t>(buckets, 0));
    each_part([&](std::size_t part, std::size_t begin, std::size_t end) {
        std::int32_t* counts = next[part].data();
        for (std::size_t i = begin; i < end; ++i) ++counts[bucket(key(i))];
    });
    std::vector<std::int32_t> start(buckets + 1, 0);
    std::int32_t at = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        start[b] = at;
        for (auto& counts : next) at += std::exchange(counts[b], at);
    }
    start[buckets] = at;
    each_part([&](std::size_t part, std::size_t begin, std::size_t end) {
        std::int32_t* places = next[part].data();
        for (std::size_t i = begin; i < end; ++i) order[static_cast<std::size_t>(places[bucket(key(i))]++)] = make(i);
    });
    each_part([&](std::size_t part, std::size_t, std::size_t) {
        for (std::size_t b = buckets * part / parts; b < buckets * (part + 1) / parts; ++b) {
            std::sort(order.begin() + start[b], order.begin() + start[b + 1],
                      [&](const Item& x, const Item& y) { return of_item(x) < of_item(y); });
        }
    });
    return order;
}

}  // namespace vantrel
