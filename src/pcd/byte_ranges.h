// Byte ranges [start, end) inside a record, and which of them share bytes:
// the one rule for fields that overlap, whoever asks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <utility>
#include <vector>

namespace vantrel {

using ByteRange = std::pair<std::int64_t, std::int64_t>;  // [first, second); empty when second <= first

// For each range, whether it shares a byte with another of them. Empty
// ranges share nothing. Allocates the result and a sorted copy.
inline std::vector<bool> sharing_bytes(const std::vector<ByteRange>& ranges) {
    std::vector<std::pair<ByteRange, std::size_t>> sorted;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (ranges[i].second > ranges[i].first) sorted.emplace_back(ranges[i], i);
    }
    std::sort(sorted.begin(), sorted.end());
    std::vector<bool> shared(ranges.size(), false);
    std::int64_t reach = 0;
    std::size_t reacher = 0;
    for (std::size_t k = 0; k < sorted.size(); ++k) {
        const auto& [range, i] = sorted[k];
        if (k > 0 && range.first < reach) shared[i] = shared[reacher] = true;
        if (k == 0 || range.second > reach) reach = range.second, reacher = i;
    }
    return shared;
}

// Ranges taken one at a time, none sharing a byte with another.
class TakenRanges {
public:
    // Takes the range and returns true when it shares no byte with those
    // taken so far; returns false (and takes nothing) otherwise.
    bool take(ByteRange range) {
        const auto next = taken_.lower_bound(range.first);
        if (next != taken_.end() && next->first < range.second) return false;
        if (next != taken_.begin() && std::prev(next)->second > range.first) return false;
        if (range.second > range.first) taken_.emplace(range.first, range.second);
        return true;
    }

private:
    std::map<std::int64_t, std::int64_t> taken_;
};

}  // namespace vantrel
