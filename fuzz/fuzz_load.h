// The fuzz target's work on one input, shared by libFuzzer's entry point and
// the replay program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Feeds the bytes through the engine exactly as a read does (the header
// alone, the whole load, the ascii reader in tiny chunks, the report), then
// writes the load back in the three encodings and reads it again, aborting
// on any broken invariant. With `digest`, returns one line that sums up every
// outcome: each step's result or exception, and hashes of the layout, the
// report, the decoded records and the bytes written (but for LZF's, which
// may differ between builds and still decode the same). Two builds that agree
// on every input give the same lines.
std::string fuzz_one(const std::uint8_t* data, std::size_t size, bool digest);

// The outline kernel of crop by a polygon on rings and points made of the
// bytes, against the rule asked of every edge; aborts where they differ.
// Returns a hash of the points found inside.
std::uint64_t check_outline(const std::uint8_t* data, std::size_t size);

// The tile kernel on records made of the bytes, against a stable sort by
// tile; aborts where they differ. Returns a hash of the order.
std::uint64_t check_tiles(const std::uint8_t* data, std::size_t size);
