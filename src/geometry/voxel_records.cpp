// The runs of downsample's voxel table, drained in key order, made into its
// output: merged (a voxel in several runs once) and turned into means.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "geometry/voxel_grid.h"

namespace vantrel {

namespace {

// The merge of merge_voxel_records, each merged record handed to emit(record, v) in turn: a part's
// own record where the key lies in one part, else their sum in a record of its own.
template <typename Emit>
std::size_t merge_runs(const std::vector<VoxelRecords>& parts, std::size_t sums, std::size_t record_bytes, Emit emit) {
    // Few parts (one a run): the least key found by a scan of their heads.
    std::vector<std::size_t> at(parts.size(), 0);
    std::vector<std::uint8_t> joined(record_bytes);
    std::size_t made = 0;
    for (;;) {
        bool any = false;
        VoxelIndex wanted, key;
        for (std::size_t p = 0; p < parts.size(); ++p) {
            if (at[p] == parts[p].count) continue;
            std::memcpy(static_cast<void*>(&key), parts[p].data + at[p] * record_bytes, sizeof key);
            if (!any || key < wanted) wanted = key, any = true;
        }
        if (!any) return made;
        const std::uint8_t* merged = nullptr;
        for (std::size_t p = 0; p < parts.size(); ++p) {
            if (at[p] == parts[p].count) continue;
            const std::uint8_t* from = parts[p].data + at[p] * record_bytes;
            std::memcpy(static_cast<void*>(&key), from, sizeof key);
            if (!(key == wanted)) continue;
            ++at[p];
            if (merged == nullptr) {
                merged = from;
                continue;
            }
            std::uint8_t* to = joined.data();
            if (merged != to) std::memcpy(to, merged, record_bytes), merged = to;
            std::int64_t count = 0, more = 0;
            std::memcpy(&count, to + sizeof key, sizeof count);
            std::memcpy(&more, from + sizeof key, sizeof more);
            count += more;
            std::memcpy(to + sizeof key, &count, sizeof count);
            for (std::size_t s = 0; s < sums; ++s) {
                double sum = 0, add = 0;
                std::memcpy(&sum, to + 32 + 8 * s, sizeof sum);
                std::memcpy(&add, from + 32 + 8 * s, sizeof add);
                sum += add;
                std::memcpy(to + 32 + 8 * s, &sum, sizeof sum);
            }
        }
        emit(merged, made++);
    }
}

}  // namespace

std::size_t merge_voxel_records(const std::vector<VoxelRecords>& parts, std::size_t sums, std::size_t record_bytes,
                                std::uint8_t* out) {
    return merge_runs(parts, sums, record_bytes, [&](const std::uint8_t* record, std::size_t v) {
        std::memcpy(out + v * record_bytes, record, record_bytes);
    });
}

std::size_t merge_voxel_means(const std::vector<VoxelRecords>& parts, std::size_t sums, std::size_t record_bytes,
                              const VoxelOutput& output, std::uint8_t* out) {
    return merge_runs(parts, sums, record_bytes, [&](const std::uint8_t* record, std::size_t v) {
        voxel_means(record, record_bytes, sums, 1, output, out + v * output.record_bytes);
    });
}

void voxel_means(const std::uint8_t* records, std::size_t record_bytes, std::size_t sums, std::size_t count,
                 const VoxelOutput& output, std::uint8_t* out) noexcept {
    for (std::size_t v = 0; v < count; ++v) {
        const std::uint8_t* record = records + v * record_bytes;
        std::uint8_t* to = out + v * output.record_bytes;
        std::int64_t points = 0;
        std::memcpy(&points, record + 24, sizeof points);
        const auto mean = [&](std::size_t s) {
            double sum = 0;
            std::memcpy(&sum, record + 32 + 8 * s, sizeof sum);
            return sum / static_cast<double>(points);
        };
        for (const auto& [offset, element, s] : output.floats) {
            if (element == Element::f32) {
                const auto value = static_cast<float>(mean(s));
                std::memcpy(to + offset, &value, sizeof value);
            } else {
                const double value = mean(s);
                std::memcpy(to + offset, &value, sizeof value);
            }
        }
        for (const auto& [offset, channels, s] : output.colors) {
            std::uint32_t bits = 0;
            const unsigned shifts[] = {16, 8, 0, 24};
            for (int c = 0; c < channels; ++c) {
                // Halves to even, as numpy.rint; a channel's mean lies within 0 to 255.
                const auto channel = static_cast<std::uint32_t>(std::nearbyint(mean(s + static_cast<std::size_t>(c))));
                bits |= (channel & 0xffu) << shifts[c];
            }
            std::memcpy(to + offset, &bits, sizeof bits);
        }
        for (const auto& [offset, from, bytes] : output.firsts) {
            std::memcpy(to + offset, record + 32 + 8 * sums + from, bytes);
        }
    }
}

}  // namespace vantrel
