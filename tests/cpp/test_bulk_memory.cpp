// Bulk memory: a released block kept for the next request of about its size, and never handed out
// where memory must read as zero.
#include <doctest/doctest.h>

#include <cstdint>
#include <cstring>

#include "pcd/bulk_memory.h"

using vantrel::BulkMemory;

namespace {

constexpr std::size_t MiB = std::size_t{1} << 20;

// A block of `size` bytes of 7, released: the one kept.
const std::uint8_t* released_sevens(std::size_t size) {
    BulkMemory::drop_kept();
    BulkMemory block(size, false);
    std::memset(block.data(), 7, block.size());
    return block.data();
}

bool all_zero(const BulkMemory& block) {
    for (std::size_t at = 0; at < block.size(); at += 4096) {
        if (block.data()[at] != 0) return false;
    }
    return block.data()[block.size() - 1] == 0;
}

}  // namespace

TEST_CASE("a released dense block is reused by a request of about its size that need not be zero") {
    const std::uint8_t* kept = released_sevens(16 * MiB);
    BulkMemory again(12 * MiB, false);
    CHECK(again.data() == kept);
    CHECK(!again.zeroed());  // its filler must write every byte
    CHECK(again.data()[12 * MiB - 1] == 7);
}

TEST_CASE("a kept block is never handed to a request that must be zero, is sparse, or is far smaller") {
    released_sevens(16 * MiB);
    {
        const BulkMemory zero(16 * MiB, true);
        CHECK(zero.zeroed());
        CHECK(all_zero(zero));
    }
    released_sevens(16 * MiB);
    const BulkMemory sparse(16 * MiB, false, false);
    CHECK(sparse.zeroed());
    CHECK(all_zero(sparse));
    const BulkMemory small(5 * MiB, false);  // under half of what is kept
    CHECK(small.zeroed());
    CHECK(all_zero(small));
}

TEST_CASE("a block serves a request of half its size, its alignment's room aside") {
    const std::uint8_t* kept = released_sevens(60 * MiB);
    const BulkMemory half(30 * MiB, false);  // a chunk of half the cloud read whole before
    CHECK(half.data() == kept);
}

TEST_CASE("a block over 64 MiB goes back to the system when released") {
    released_sevens(80 * MiB);
    const BulkMemory again(80 * MiB, false);
    CHECK(again.zeroed());
    CHECK(all_zero(again));
}

TEST_CASE("chunks made while the caller holds the last one reuse the two blocks kept") {
    BulkMemory::drop_kept();
    const std::uint8_t* first = nullptr;
    const std::uint8_t* second = nullptr;
    {
        BulkMemory a(16 * MiB, false);
        BulkMemory b(16 * MiB, false);  // made while `a` is held
        first = a.data();
        second = b.data();
    }
    BulkMemory c(16 * MiB, false);
    BulkMemory d(16 * MiB, false);
    CHECK(c.data() != d.data());
    CHECK(((c.data() == first && d.data() == second) || (c.data() == second && d.data() == first)));
}

TEST_CASE("of three blocks released, the two larger are kept") {
    BulkMemory::drop_kept();
    const std::uint8_t* larger = nullptr;
    const std::uint8_t* middle = nullptr;
    {
        BulkMemory a(20 * MiB, false);
        BulkMemory b(10 * MiB, false);
        BulkMemory small(8 * MiB, false);
        larger = a.data();
        middle = b.data();
    }  // small, b, then a, released
    const BulkMemory again(20 * MiB, false);
    CHECK(again.data() == larger);
    CHECK(!again.zeroed());
    const BulkMemory eight(8 * MiB, false);  // b's 10 MiB, not small's, which went back
    CHECK(eight.data() == middle);
}
