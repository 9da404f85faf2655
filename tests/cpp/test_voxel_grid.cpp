// The voxel table of downsample: sums in point order however the points are
// split, first values, voxel order over 64 bits, and where a full grid stops.
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "geometry/voxel_grid.h"

namespace {

struct Points {
    std::vector<std::int64_t> ijk;
    std::vector<double> values;  // one value a point
    std::vector<std::uint8_t> firsts;
};

// Few voxels, visited out of order; `wide` puts two of them at the ends of 64 bits.
Points points(int n, bool wide) {
    Points p;
    const std::int64_t big = std::numeric_limits<std::int64_t>::max();
    for (int q = 0; q < n; ++q) {
        const std::int64_t v = (q * 7) % 13;
        if (wide) {
            p.ijk.insert(p.ijk.end(), {v == 0 ? big : v, v % 3 == 0 ? -big - 1 : -v, v / 4});
        } else {
            p.ijk.insert(p.ijk.end(), {v % 4 - 2, -v, v / 4});
        }
        p.values.push_back(0.1 * q + 1e-9 * (q % 5));
        p.firsts.push_back(static_cast<std::uint8_t>(q));
    }
    return p;
}

struct Drained {
    std::vector<std::int64_t> keys, counts;
    std::vector<double> sums;
    std::vector<std::uint8_t> firsts;
};

// Every voxel in key order, drained a few at a time, its record taken apart (one sum, one first byte).
Drained drain(vantrel::VoxelGrid& grid) {
    const std::size_t n = grid.size(), bytes = grid.record_bytes();
    REQUIRE(bytes == 48);
    std::vector<std::uint8_t> records(n * bytes);
    grid.sort();
    for (std::size_t at = 0; at < n;) at += grid.drain(&records[at * bytes], 3);
    CHECK(grid.size() == 0);
    Drained d{std::vector<std::int64_t>(3 * n), std::vector<std::int64_t>(n), std::vector<double>(n),
              std::vector<std::uint8_t>(n)};
    for (std::size_t v = 0; v < n; ++v) {
        const std::uint8_t* record = &records[v * bytes];
        std::memcpy(&d.keys[3 * v], record, 24);
        std::memcpy(&d.counts[v], record + 24, 8);
        std::memcpy(&d.sums[v], record + 32, 8);
        d.firsts[v] = record[40];
    }
    return d;
}

// Every voxel's record, in key order.
std::vector<std::uint8_t> records_of(vantrel::VoxelGrid& grid) {
    std::vector<std::uint8_t> out(grid.size() * grid.record_bytes());
    grid.sort();
    grid.drain(out.data(), grid.size());
    return out;
}

}  // namespace

TEST_CASE("the sums, counts and first values are the same for any split of the points") {
    const int n = 1000;
    for (const bool wide : {false, true}) {
        const Points p = points(n, wide);
        vantrel::VoxelGrid whole(1, 1);
        CHECK(whole.add(p.ijk.data(), p.values.data(), p.firsts.data(), n) == n);
        CHECK(whole.size() == 13);
        // A voxel's first value is its first point's: slots come in order of first appearance.
        for (std::size_t slot = 0; slot < whole.size(); ++slot) CHECK(*whole.firsts(slot) == slot);
        const Drained all = drain(whole);
        for (const int part : {1, 7, 999}) {
            vantrel::VoxelGrid split(1, 1);
            for (int start = 0; start < n; start += part) {
                const int m = start + part > n ? n - start : part;
                split.add(p.ijk.data() + 3 * start, p.values.data() + start, p.firsts.data() + start, m);
            }
            const Drained parts = drain(split);
            CHECK(parts.keys == all.keys);
            CHECK(parts.counts == all.counts);
            CHECK(parts.sums == all.sums);  // bit for bit: each voxel summed in point order
            CHECK(parts.firsts == all.firsts);
        }
    }
}

TEST_CASE("voxels drain in key order: i, then j, then k, packed or over the whole 64-bit range") {
    for (const bool wide : {false, true}) {
        const Points p = points(100, wide);
        vantrel::VoxelGrid grid(1, 1);
        grid.add(p.ijk.data(), p.values.data(), p.firsts.data(), 100);
        const Drained d = drain(grid);
        REQUIRE(d.counts.size() == 13);
        for (std::size_t v = 1; v < d.counts.size(); ++v) {
            const vantrel::VoxelIndex a{d.keys[3 * v - 3], d.keys[3 * v - 2], d.keys[3 * v - 1]};
            const vantrel::VoxelIndex b{d.keys[3 * v], d.keys[3 * v + 1], d.keys[3 * v + 2]};
            CHECK(a < b);
        }
    }
}

TEST_CASE("many voxels drain in key order for every width of key: digits shared, keys and slots in one word or not") {
    struct Span {
        std::int64_t low, high;  // i in [low, high]; j and k alike
        bool ends_only;          // i at its ends alone, j and k in [0, 7]: the digits between are every key's
    };
    const Span spans[] = {{-3, 3, false},                 // a digit
                          {0, (1 << 10) - 1, false},      // 30 bits: three digits, key and slot in a word
                          {0, 1 << 30, true},             // digits between the ends shared
                          {-(1 << 20), 1 << 20, false}};  // 63 bits: key and slot apart
    std::uint64_t state = 12345;
    auto next = [&state] { return state = state * 6364136223846793005ULL + 1442695040888963407ULL; };
    for (const Span& span : spans) {
        CAPTURE(span.high);
        const auto width = static_cast<std::uint64_t>(span.high - span.low) + 1;
        auto pick = [&](bool ends) {
            return ends ? (next() >> 63 ? span.high : span.low)
                        : span.low + static_cast<std::int64_t>((next() >> 11) % width);
        };
        const int n = 5000;
        Points p;
        for (int q = 0; q < n; ++q) {
            if (span.ends_only) {
                p.ijk.insert(p.ijk.end(), {pick(true), static_cast<std::int64_t>(next() >> 61),
                                           static_cast<std::int64_t>(next() >> 61)});
            } else {
                p.ijk.insert(p.ijk.end(), {pick(false), pick(false), pick(false)});
            }
            p.values.push_back(q);
            p.firsts.push_back(0);
        }
        vantrel::VoxelGrid grid(1, 1);
        grid.add(p.ijk.data(), p.values.data(), p.firsts.data(), n);
        std::vector<vantrel::VoxelIndex> expected;
        for (std::size_t q = 0; q < p.ijk.size(); q += 3) expected.push_back({p.ijk[q], p.ijk[q + 1], p.ijk[q + 2]});
        std::sort(expected.begin(), expected.end());
        expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
        const Drained d = drain(grid);
        REQUIRE(d.counts.size() == expected.size());
        for (std::size_t v = 0; v < expected.size(); ++v) {
            CHECK(expected[v] == vantrel::VoxelIndex{d.keys[3 * v], d.keys[3 * v + 1], d.keys[3 * v + 2]});
        }
    }
}

TEST_CASE("a full grid stops at the first point of a new voxel, and takes points again once drained") {
    const Points p = points(1000, false);
    vantrel::VoxelGrid grid(1, 1, 5);
    // The voxels come in the order 0 7 1 8 2 9 3 10 4 11 ...: the sixth new one is point 5's.
    CHECK(grid.add(p.ijk.data(), p.values.data(), p.firsts.data(), 1000) == 5);
    CHECK(grid.full());
    CHECK(grid.add(p.ijk.data(), p.values.data(), p.firsts.data(), 1000, 5) == 5);
    drain(grid);
    CHECK(grid.add(p.ijk.data(), p.values.data(), p.firsts.data(), 1000, 5) == 10);
    CHECK(grid.count(0) == 1);
    CHECK_THROWS_AS(vantrel::VoxelGrid(1, 1, 0), std::invalid_argument);
}

TEST_CASE("runs merge to the voxels of the whole, counts and sums added in run order, first bytes the first run's") {
    const int n = 1000;
    const Points p = points(n, true);
    vantrel::VoxelGrid whole(1, 1), part(1, 1, 4);
    whole.add(p.ijk.data(), p.values.data(), p.firsts.data(), n);
    std::vector<std::vector<std::uint8_t>> runs;
    for (std::int64_t start = 0; start < n;) {
        start = part.add(p.ijk.data(), p.values.data(), p.firsts.data(), n, start);
        part.sort();
        runs.emplace_back(part.size() * part.record_bytes());
        part.drain(runs.back().data(), part.size());
    }
    REQUIRE(runs.size() > 3);
    std::vector<vantrel::VoxelRecords> spans;
    for (const auto& run : runs) spans.push_back({run.data(), run.size() / 48});
    std::vector<std::uint8_t> out(n * 48);
    const std::size_t merged = vantrel::merge_voxel_records(spans, 1, 48, out.data());
    const Drained all = drain(whole);
    REQUIRE(merged == all.counts.size());
    for (std::size_t v = 0; v < merged; ++v) {
        std::int64_t count = 0;
        double sum = 0;
        std::memcpy(&count, &out[v * 48 + 24], 8);
        std::memcpy(&sum, &out[v * 48 + 32], 8);
        CHECK(std::memcmp(&out[v * 48], &all.keys[3 * v], 24) == 0);
        CHECK(count == all.counts[v]);
        CHECK(sum == doctest::Approx(all.sums[v]));
        CHECK(out[v * 48 + 40] == all.firsts[v]);
    }
}

TEST_CASE("records give the voxels their points would: NaN points left out and counted, however split") {
    // A record: x y z as float, a double summed, a packed color (r g b summed), a uint16 kept first.
    struct Record {
        float x, y, z;
        double v;
        std::uint32_t rgb;
        std::uint16_t id;
    };
    const int n = 500;
    std::vector<Record> records(n);
    std::vector<std::int64_t> ijk;
    std::vector<double> values(5 * n);
    std::vector<std::uint8_t> firsts;
    int kept = 0;
    for (int q = 0; q < n; ++q) {
        const float c = static_cast<float>((q * 7) % 23) - 11.5f;
        const bool nan = q % 9 == 4;
        records[static_cast<std::size_t>(q)] = {
            nan ? std::nanf("") : c,      -c, 0.25f * c, 0.5 * q, 0x00102030u + static_cast<std::uint32_t>(q),
            static_cast<std::uint16_t>(q)};
        if (nan) continue;
        ijk.insert(ijk.end(),
                   {static_cast<std::int64_t>(std::floor(c / 2.0)), static_cast<std::int64_t>(std::floor(-c / 2.0)),
                    static_cast<std::int64_t>(std::floor(0.25 * c / 2.0))});
        firsts.push_back(static_cast<std::uint8_t>(q & 0xff));
        firsts.push_back(static_cast<std::uint8_t>(q >> 8));
        ++kept;
    }
    // The same points as arrays, for add(): values column by column.
    int k = 0;
    for (int q = 0; q < n; ++q) {
        if (q % 9 == 4) continue;
        const Record& record = records[static_cast<std::size_t>(q)];
        const std::uint32_t rgb = record.rgb;
        const double row[5] = {record.v, static_cast<double>((rgb >> 16) & 0xff),
                               static_cast<double>((rgb >> 8) & 0xff), static_cast<double>(rgb & 0xff), 0};
        for (int r = 0; r < 4; ++r) values[static_cast<std::size_t>(r * kept + k)] = row[r];
        ++k;
    }
    vantrel::VoxelGrid expected(4, 2);
    expected.add(ijk.data(), values.data(), firsts.data(), kept);
    const std::vector<std::uint8_t> want = records_of(expected);
    REQUIRE(!want.empty());

    vantrel::VoxelPlan plan{};
    const vantrel::Element f32 = vantrel::Element::f32;
    plan.xyz[0] = {offsetof(Record, x), f32}, plan.xyz[1] = {offsetof(Record, y), f32};
    plan.xyz[2] = {offsetof(Record, z), f32};
    plan.size[0] = plan.size[1] = plan.size[2] = 2.0;
    plan.sums = {{offsetof(Record, v), vantrel::Element::f64}};
    plan.colors = {{offsetof(Record, rgb), 3}};
    plan.firsts = {{offsetof(Record, id), 2}};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(records.data());
    for (const std::int64_t part : {std::int64_t{1}, std::int64_t{13}, std::int64_t{n}}) {
        vantrel::VoxelGrid grid(4, 2);
        std::int64_t skipped = 0;
        for (std::int64_t start = 0; start < n; start += part) {
            CHECK(grid.add_records(bytes + static_cast<std::size_t>(start) * sizeof(Record), sizeof(Record),
                                   std::min<std::int64_t>(part, n - start), 0, plan,
                                   skipped) == std::min<std::int64_t>(part, n - start));
        }
        CHECK(skipped == n - kept);
        CHECK(records_of(grid) == want);  // bit for bit
    }
    // A full grid stops at a record; the skipped ones are counted once over the calls that resume there.
    vantrel::VoxelGrid small(4, 2, 3);
    std::int64_t skipped = 0;
    for (std::int64_t at = 0; at < n;) {
        at = small.add_records(bytes, sizeof(Record), n, at, plan, skipped);
        records_of(small);
    }
    CHECK(skipped == n - kept);
    plan.size[0] = 1e-300;
    vantrel::VoxelGrid far(4, 2);
    CHECK_THROWS_AS(far.add_records(bytes, sizeof(Record), n, 0, plan, skipped), std::overflow_error);
}

TEST_CASE("values are given column by column") {
    const std::int64_t ijk[] = {0, 0, 0, 0, 0, 0, 5, 5, 5};
    const double values[] = {1, 2, 4, 10, 20, 40};  // two values for each of three points
    const std::uint8_t firsts[1] = {0};             // no bytes kept
    vantrel::VoxelGrid grid(2, 0);
    grid.add(ijk, values, firsts, 3);
    CHECK(grid.sums(0)[0] == 3);
    CHECK(grid.sums(0)[1] == 30);
    CHECK(grid.sums(1)[0] == 4);
    CHECK(grid.sums(1)[1] == 40);
    CHECK(grid.count(0) == 2);
    CHECK(grid.count(1) == 1);
}
