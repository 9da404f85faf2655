// LZF streams (liblzf's format) decoded as their bytes arrive, so that neither
// the compressed payload nor the decoded image need be held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vantrel {

// How far back an LZF back-reference can reach.
inline constexpr std::size_t lzf_reach = 8192;
// Bytes past the output that a decoder writing straight into memory may touch.
inline constexpr std::size_t lzf_slack = 512;

struct LzfOutcome {
    std::uint64_t decoded = 0;  // bytes decoded and handed to the sink
    std::uint64_t taken = 0;    // payload bytes read
    bool ok = false;            // the payload decoded whole, within the capacity
    bool stopped = false;       // decoding stopped at `stop`, before the payload's end
    bool cut = false;           // the input ended before the payload's declared size
};

// Reads an `input_size`-byte LZF payload through `read` (which fills up to
// its second argument's bytes and returns how many it gave, 0 at the end of
// the input) and decodes it, handing the decoded bytes to `sink` in order, a
// window at a time (sink(data, size): the bytes that follow the ones before).
// The payload fails (ok false) where liblzf's lzf_decompress would return 0
// for it with `capacity` bytes of output: an instruction that reaches past
// the payload's end or back before the output's start, or output beyond
// `capacity`. It also fails when `read` gives out before input_size bytes.
// With `stop` below what the payload holds, decoding stops once `stop` bytes
// are out (stopped true; the rest is neither read nor checked). With `into`
// (room for capacity + lzf_slack bytes), the output is decoded there in one
// piece instead of through a window, and `sink` is told of it as it grows
// (the bytes it names are final; those after them may still change).
// Allocates about a MiB; throws std::bad_alloc and what `read` and `sink`
// throw.
LzfOutcome decode_lzf_stream(std::uint64_t input_size, std::uint64_t capacity, std::uint64_t stop,
                             const std::function<std::size_t(std::uint8_t*, std::size_t)>& read,
                             const std::function<void(const std::uint8_t*, std::size_t)>& sink,
                             std::uint8_t* into = nullptr);

}  // namespace vantrel
