#include "geometry/voxel_grid.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

namespace vantrel {
namespace {

// splitmix64's finaliser over the three indices: neighbouring voxels land far apart.
std::uint64_t mix(std::uint64_t x) noexcept {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

std::uint64_t hash_of(const VoxelIndex& key) noexcept {
    return mix(static_cast<std::uint64_t>(key.i) ^
               mix(static_cast<std::uint64_t>(key.j) ^ mix(static_cast<std::uint64_t>(key.k))));
}

VoxelIndex key_at(const std::int64_t* ijk, std::int64_t p) noexcept {
    return {ijk[3 * p], ijk[3 * p + 1], ijk[3 * p + 2]};
}

// A record starts with the key and the count, as int64s copied in and out.
VoxelIndex key_of(const double* record) noexcept {
    VoxelIndex key;
    std::memcpy(static_cast<void*>(&key), record, sizeof key);
    return key;
}

void add_count(double* record) noexcept {
    std::int64_t count = 0;
    std::memcpy(&count, record + 3, sizeof count);
    ++count;
    std::memcpy(record + 3, &count, sizeof count);
}

constexpr std::uint32_t no_slot = 0xffffffffU;
constexpr std::int64_t ahead = 16;  // points between a cell's prefetch and its use

unsigned bits_of(std::uint64_t range) noexcept {
    unsigned bits = 0;
    while (bits < 64 && (range >> bits) != 0) ++bits;
    return bits;
}

// `packed` shifted left by `bits` with `value` in the bits freed.
std::uint64_t append(std::uint64_t packed, unsigned bits, std::uint64_t value) noexcept {
    return bits >= 64 ? value : packed << bits | value;
}

struct Packed {
    std::uint64_t key;
    std::uint32_t slot;
};

// A packed key and its slot in one word, the key above the slot's `bits`: half the bytes a
// pass of the sort moves, where both fit.
struct Word {
    unsigned bits;
    std::uint64_t key(std::uint64_t item) const noexcept { return item >> bits; }
    std::uint32_t slot(std::uint64_t item) const noexcept {
        return static_cast<std::uint32_t>(item & ((std::uint64_t{1} << bits) - 1));
    }
    std::uint64_t item(std::uint64_t key, std::size_t slot) const noexcept { return key << bits | slot; }
};
struct Pair {
    std::uint64_t key(const Packed& item) const noexcept { return item.key; }
    std::uint32_t slot(const Packed& item) const noexcept { return item.slot; }
    Packed item(std::uint64_t key, std::size_t slot) const noexcept { return {key, static_cast<std::uint32_t>(slot)}; }
};

// The digits of a key of `bits` bits: as few as keep each at most 11 bits, whose counts and
// places stay in the cache, all as wide.
struct Digits {
    unsigned count, width;
    explicit Digits(unsigned bits) noexcept : count((bits + 10) / 11), width(count ? (bits + count - 1) / count : 0) {}
    std::size_t of(std::uint64_t key, unsigned d) const noexcept {
        return static_cast<std::size_t>((key >> (d * width)) & ((std::uint64_t{1} << width) - 1));
    }
};

// Least significant digit first, each pass stable, with each digit's counts (`counts`, a row of
// 2^width a digit) made as the keys were packed: a pass a digit, and none for a digit that
// every key shares (it would leave the order as it is).
template <typename Item, typename Parts>
void radix_sort(BulkArray<Item>& items, const Digits& digits, const std::vector<std::size_t>& counts, Parts parts) {
    BulkArray<Item> other;
    other.resize_for_overwrite(items.size());
    const std::size_t buckets = std::size_t{1} << digits.width;
    std::vector<std::size_t> starts(buckets);
    for (unsigned d = 0; d < digits.count; ++d) {
        const std::size_t* count = counts.data() + d * buckets;
        if (std::find(count, count + buckets, items.size()) != count + buckets) continue;
        std::size_t at = 0;
        for (std::size_t b = 0; b < buckets; ++b) starts[b] = std::exchange(at, at + count[b]);
        for (const Item& item : items) other[starts[digits.of(parts.key(item), d)]++] = item;
        items.swap(other);
    }
}

}  // namespace

VoxelGrid::VoxelGrid(std::size_t sums, std::size_t first_bytes, std::size_t capacity)
    : sum_count_(sums),
      first_bytes_(first_bytes),
      capacity_(capacity),
      stride_(4 + sums + (first_bytes + sizeof(double) - 1) / sizeof(double)) {
    std::size_t cells = 1024;
    if (capacity == 0 || capacity > most_voxels) throw std::invalid_argument("voxel capacity out of range");
    if (capacity < most_voxels) {
        // Address space only: pages become resident as voxels fill them, and no growth copies.
        records_.reserve(capacity * stride_);
        // A table for the whole capacity at once, no rehashing; grown as voxels come beyond
        // a few million, whose table a small cloud should not pay for.
        while (cells < 2 * capacity && cells < (std::size_t{1} << 22)) cells *= 2;
    }
    table_.resize(cells, 0);
}

void VoxelGrid::rehash(std::size_t cells) {
    BulkArray<std::uint64_t> table;
    table.resize(cells, 0);
    const std::size_t mask = cells - 1;
    for (std::size_t slot = 0; slot < voxels_; ++slot) {
        const std::uint64_t hash = hash_of(key_of(record(slot)));
        std::size_t cell = hash & mask;
        while (table[cell] != 0) cell = (cell + 1) & mask;
        table[cell] = (hash >> 32 << 32) | (slot + 1);
    }
    table_.swap(table);
}

std::uint32_t VoxelGrid::slot_of(const VoxelIndex& key, std::uint64_t hash, const std::uint8_t* first) {
    const std::size_t mask = table_.size() - 1;
    const std::uint64_t tag = hash >> 32 << 32;
    std::size_t cell = hash & mask;
    for (; table_[cell] != 0; cell = (cell + 1) & mask) {
        if ((table_[cell] & ~0xffffffffULL) != tag) continue;
        const auto slot = static_cast<std::uint32_t>(table_[cell] - 1);
        if (key_of(record(slot)) == key) return slot;
    }
    if (voxels_ == capacity_) return no_slot;
    // A new voxel: its slot is the next, its sums zero, its first bytes this point's.
    const auto slot = static_cast<std::uint32_t>(voxels_++);
    records_.resize(voxels_ * stride_, 0.0);
    double* fresh = record(slot);
    std::memcpy(fresh, &key, sizeof key);
    if (first_bytes_ != 0) std::memcpy(fresh + 4 + sum_count_, first, first_bytes_);
    // The keys' extent, for sort(), kept as voxels come: a scan of every record for it would
    // read the whole table again.
    if (slot == 0) low_ = high_ = key;
    low_ = {std::min(low_.i, key.i), std::min(low_.j, key.j), std::min(low_.k, key.k)};
    high_ = {std::max(high_.i, key.i), std::max(high_.j, key.j), std::max(high_.k, key.k)};
    table_[cell] = tag | (std::uint64_t{slot} + 1);
    if (voxels_ * 2 > table_.size()) rehash(table_.size() * 2);  // at most half full: probes stay short
    return slot;
}

std::int64_t VoxelGrid::add(const std::int64_t* ijk, const double* values, const std::uint8_t* firsts, std::int64_t n,
                            std::int64_t start) {
    return add_columns(ijk, values, static_cast<std::size_t>(n), firsts, n, start);
}

// values[s * stride + p] is point p's s-th value.
std::int64_t VoxelGrid::add_columns(const std::int64_t* ijk, const double* values, std::size_t stride,
                                    const std::uint8_t* firsts, std::int64_t n, std::int64_t start) {
    if (!order_.empty()) throw std::logic_error("voxel grid added to while being drained");
    // Hashes computed `ahead` points early, their cells prefetched then, and a
    // found voxel's record half-way: the table and records are far larger
    // than the caches, and the misses of several points overlap this way.
    std::array<std::uint64_t, 2 * ahead> hashes{};
    const auto ring = [](std::int64_t q) { return static_cast<std::size_t>(q % (2 * ahead)); };
    for (std::int64_t q = start; q < std::min(n, start + ahead); ++q) hashes[ring(q)] = hash_of(key_at(ijk, q));
    VoxelIndex last{};
    std::uint32_t last_slot = no_slot;
    for (std::int64_t p = start; p < n; ++p) {
        const std::size_t mask = table_.size() - 1;
        if (p + ahead < n) {
            const std::uint64_t hash = hash_of(key_at(ijk, p + ahead));
            hashes[ring(p + ahead)] = hash;
            __builtin_prefetch(&table_[hash & mask]);
        }
        if (p + ahead / 2 < n) {
            const std::uint64_t cell = table_[hashes[ring(p + ahead / 2)] & mask];
            if (cell != 0) __builtin_prefetch(record(static_cast<std::uint32_t>(cell - 1)), 1);
        }
        const VoxelIndex key = key_at(ijk, p);
        // Scans keep neighbouring points in one voxel: no lookup for those.
        std::uint32_t slot = last_slot != no_slot && key == last ? last_slot : no_slot;
        if (slot == no_slot) {
            slot = slot_of(key, hashes[ring(p)], firsts + static_cast<std::size_t>(p) * first_bytes_);
            if (slot == no_slot) return p;
        }
        last = key, last_slot = slot;
        double* sums = record(slot);
        add_count(sums);
        sums += 4;
        const double* point = values + p;
        for (std::size_t s = 0; s < sum_count_; ++s) sums[s] += point[s * stride];
    }
    return n;
}

namespace {

constexpr std::size_t batch = 2048;  // records turned into keys and values at a time

}  // namespace

std::int64_t VoxelGrid::add_records(const std::uint8_t* records, std::size_t record_bytes, std::int64_t n,
                                    std::int64_t start, const VoxelPlan& plan, std::int64_t& skipped) {
    constexpr double far = 4611686018427387904.0;  // 2^62
    std::vector<std::int64_t> ijk(3 * batch), index(batch);
    std::vector<double> values(sum_count_ * batch);
    std::vector<std::uint8_t> firsts(first_bytes_ * batch);
    for (std::int64_t q = start; q < n;) {
        // The next batch's finite points: keys, values column by column, first bytes.
        const std::int64_t first_record = q;
        std::size_t m = 0;
        for (; q < n && m < batch; ++q) {
            const std::uint8_t* record = records + static_cast<std::size_t>(q) * record_bytes;
            double scaled[3];
            bool finite = true;
            for (int a = 0; a < 3; ++a) {
                const double v = value_at(record, plan.xyz[a]);
                finite = finite && std::isfinite(v);
                scaled[a] = std::floor(v / plan.size[a]);
            }
            if (!finite) continue;
            for (int a = 0; a < 3; ++a) {
                if (!(std::fabs(scaled[a]) < far)) throw std::overflow_error("voxel index beyond 2^62");
                ijk[3 * m + static_cast<std::size_t>(a)] = static_cast<std::int64_t>(scaled[a]);
            }
            std::size_t row = 0;
            for (const VoxelValue& value : plan.sums) values[row++ * batch + m] = value_at(record, value);
            for (const auto& [offset, channels] : plan.colors) {
                std::uint32_t bits = 0;
                std::memcpy(&bits, record + offset, sizeof bits);
                for (const unsigned shift : {16u, 8u, 0u, 24u}) {
                    if (shift == 24u && channels == 3) break;
                    values[row++ * batch + m] = static_cast<double>((bits >> shift) & 0xffu);
                }
            }
            std::uint8_t* first = firsts.data() + m * first_bytes_;
            for (const auto& [offset, bytes] : plan.firsts) {
                std::memcpy(first, record + offset, bytes);
                first += bytes;
            }
            index[m++] = q;
        }
        const auto stop = static_cast<std::size_t>(
            add_columns(ijk.data(), values.data(), batch, firsts.data(), static_cast<std::int64_t>(m), 0));
        // Full at index[stop]: the records before it are done (the kept ones and the skipped);
        // the rest, the next call's.
        const std::int64_t end = stop < m ? index[stop] : q;
        skipped += (end - first_record) - static_cast<std::int64_t>(stop);
        if (stop < m) return end;
    }
    return n;
}

void VoxelGrid::sort() {
    order_.resize_for_overwrite(voxels_);
    if (voxels_ == 0) return;
    // Keys packed into 64 bits past each index's least, when their ranges fit, sort by radix;
    // others by comparison.
    const VoxelIndex low = low_, high = high_;
    auto range = [](std::int64_t lo, std::int64_t hi) {
        return static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
    };
    const unsigned bi = bits_of(range(low.i, high.i)), bj = bits_of(range(low.j, high.j)),
                   bk = bits_of(range(low.k, high.k));
    if (bi + bj + bk > 64) {
        for (std::size_t slot = 0; slot < voxels_; ++slot) order_[slot] = static_cast<std::uint32_t>(slot);
        std::sort(order_.begin(), order_.end(), [this](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
        return;
    }
    const unsigned key_bits = bi + bj + bk, slot_bits = bits_of(voxels_ - 1);
    const Digits digits(key_bits);
    std::vector<std::size_t> counts(std::size_t{digits.count} << digits.width, 0);
    auto sorted = [&](auto item, auto parts) {
        BulkArray<decltype(item)> items;
        items.resize_for_overwrite(voxels_);
        for (std::size_t slot = 0; slot < voxels_; ++slot) {
            const VoxelIndex k = key_of(record(slot));
            const std::uint64_t packed =
                append(append(range(low.i, k.i), bj, range(low.j, k.j)), bk, range(low.k, k.k));
            items[slot] = parts.item(packed, slot);
            for (unsigned d = 0; d < digits.count; ++d)
                ++counts[(std::size_t{d} << digits.width) + digits.of(packed, d)];
        }
        radix_sort(items, digits, counts, parts);
        for (std::size_t v = 0; v < voxels_; ++v) order_[v] = parts.slot(items[v]);
    };
    if (key_bits + slot_bits <= 64) {
        sorted(std::uint64_t{}, Word{slot_bits});
    } else {
        sorted(Packed{}, Pair{});
    }
}

std::size_t VoxelGrid::drain(std::uint8_t* records, std::size_t count) {
    if (order_.size() != voxels_) throw std::logic_error("voxel grid drained before it was sorted");
    count = std::min(count, voxels_ - drained_);
    const std::size_t bytes = record_bytes();
    // The records lie scattered over the table, each a miss in the cache: asked for a few ahead,
    // they arrive while the ones before are copied.
    constexpr std::size_t records_ahead = 8;
    for (std::size_t v = 0; v < count; ++v) {
        if (drained_ + v + records_ahead < voxels_) {
            const auto* next = reinterpret_cast<const std::uint8_t*>(record(order_[drained_ + v + records_ahead]));
            __builtin_prefetch(next);
            __builtin_prefetch(next + bytes - 1);
        }
        std::memcpy(records + v * bytes, record(order_[drained_ + v]), bytes);
    }
    drained_ += count;
    if (drained_ == voxels_) clear();
    return count;
}

void VoxelGrid::clear() noexcept {
    voxels_ = 0;
    drained_ = 0;
    records_.clear();
    order_.clear();
    std::fill(table_.begin(), table_.end(), 0);
}

VoxelIndex VoxelGrid::key(std::size_t slot) const noexcept {
    return key_of(record(slot));
}

std::int64_t VoxelGrid::count(std::size_t slot) const noexcept {
    std::int64_t count = 0;
    std::memcpy(&count, record(slot) + 3, sizeof count);
    return count;
}

const double* VoxelGrid::sums(std::size_t slot) const noexcept {
    return record(slot) + 4;
}

const std::uint8_t* VoxelGrid::firsts(std::size_t slot) const noexcept {
    return reinterpret_cast<const std::uint8_t*>(record(slot) + 4 + sum_count_);
}

}  // namespace vantrel
