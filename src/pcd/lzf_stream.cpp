#include "pcd/lzf_stream.h"

#include <algorithm>
#include <cstring>

#include "pcd/bulk_memory.h"
#include "pcd/interrupt.h"

namespace vantrel {
namespace {

constexpr std::size_t input_block = std::size_t{1} << 20;
constexpr std::size_t window_area = std::size_t{1} << 18;  // decoded bytes handed out at a time
// The longest instruction: a control byte and 32 literal bytes (a
// back-reference takes 3). With this many bytes ahead, no check on the input
// is needed while decoding one.
constexpr std::ptrdiff_t longest_instruction = 33;
// Room past the window for copies that move whole 16- and 32-byte blocks:
// they may write beyond what they decode, never beyond this.
constexpr std::size_t slack = lzf_slack;
constexpr std::size_t longest_output = 7 + 255 + 2;

// Copies a back-reference of `length` bytes from `distance` bytes back.
inline void copy_back(std::uint8_t* op, std::size_t distance, std::size_t length) noexcept {
    const std::uint8_t* ref = op - distance;
    if (distance >= 16) {
        for (std::size_t i = 0; i < length; i += 16) std::memcpy(op + i, ref + i, 16);
    } else if (distance == 1) {
        std::memset(op, *ref, length);
    } else {
        for (std::size_t i = 0; i < length; ++i) op[i] = ref[i];
    }
}

// Decodes one instruction at ip into op. `decoded` is the output before op,
// which back-references may reach. With Checked, every input byte the
// instruction takes is checked against iend; without, the caller has made
// sure that a whole instruction is there, and literals are copied 32 bytes at
// a time. False when the instruction reaches past the input, back before the
// output's start, or past cap_end.
template <bool Checked>
inline bool decode_one(std::uint8_t*& ip, const std::uint8_t* iend, std::uint8_t*& op, const std::uint8_t* cap_end,
                       std::uint64_t decoded) noexcept {
    const unsigned ctrl = *ip++;
    if (ctrl < 32) {
        const std::size_t length = ctrl + 1;
        if (Checked && static_cast<std::ptrdiff_t>(length) > iend - ip) return false;
        if (static_cast<std::ptrdiff_t>(length) > cap_end - op) return false;
        std::memcpy(op, ip, Checked ? length : 32);
        op += length;
        ip += length;
        return true;
    }
    std::size_t length = ctrl >> 5;
    if (Checked && iend - ip < (length == 7 ? 2 : 1)) return false;
    if (length == 7) length += *ip++;
    const std::size_t distance = ((ctrl & 31u) << 8) + *ip++ + 1;
    length += 2;
    if (distance > decoded) return false;
    if (static_cast<std::ptrdiff_t>(length) > cap_end - op) return false;
    copy_back(op, distance, length);
    op += length;
    return true;
}

}  // namespace

LzfOutcome decode_lzf_stream(std::uint64_t input_size, std::uint64_t capacity, std::uint64_t stop,
                             const std::function<std::size_t(std::uint8_t*, std::size_t)>& read,
                             const std::function<void(const std::uint8_t*, std::size_t)>& sink, std::uint8_t* into) {
    LzfOutcome outcome;
    // Small payloads (most files are small) take small buffers.
    const std::size_t block = static_cast<std::size_t>(std::min<std::uint64_t>(input_size, input_block));
    BulkMemory input(block + longest_instruction, false);
    std::uint8_t* const in_start = input.data();
    std::uint8_t* ip = in_start;
    std::uint8_t* iend = in_start;
    std::uint64_t input_left = input_size;

    const std::size_t area = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, window_area));
    // Straight into the caller's memory, the whole output is the history and
    // the window never moves.
    const std::size_t window_size =
        into != nullptr ? static_cast<std::size_t>(capacity) + slack : lzf_reach + area + longest_output + slack;
    BulkMemory window(into != nullptr ? 0 : window_size, false);
    std::uint8_t* const out = into != nullptr ? into : window.data();
    std::uint8_t* const shift_at = into != nullptr ? out + capacity + 1 : out + lzf_reach + area;
    std::uint8_t* op = out;
    std::uint8_t* handed = out;  // window bytes before this went to the sink
    std::uint64_t base = 0;      // where out[0] lies in the decoded stream
    // Where the capacity ends in the window; past the window's end, it does not bind.
    const auto capacity_end = [&] {
        return capacity - base >= window_size ? out + window_size : out + (capacity - base);
    };
    std::uint8_t* cap_end = capacity_end();

    for (;;) {
        if (iend - ip < longest_instruction && input_left > 0) {
            poll_interrupt();
            const auto kept = static_cast<std::size_t>(iend - ip);
            std::memmove(in_start, ip, kept);
            ip = in_start;
            iend = in_start + kept;
            while (input_left > 0 && static_cast<std::size_t>(iend - in_start) < block) {
                const std::size_t want = static_cast<std::size_t>(
                    std::min<std::uint64_t>(input_left, block - static_cast<std::size_t>(iend - in_start)));
                const std::size_t got = read(iend, want);
                if (got == 0) {  // the payload ends before its declared size
                    outcome.cut = true;
                    return outcome;
                }
                iend += got;
                input_left -= got;
                outcome.taken += got;
            }
        }
        if (into != nullptr && op - handed >= static_cast<std::ptrdiff_t>(window_area)) {
            // Straight into memory: what is decoded so far is told as it grows.
            sink(handed, static_cast<std::size_t>(op - handed));
            handed = op;
        }
        if (op > shift_at) {  // hand out the window, keep what back-references may reach
            sink(handed, static_cast<std::size_t>(op - handed));
            std::memmove(out, op - lzf_reach, lzf_reach);
            base += static_cast<std::uint64_t>(op - lzf_reach - out);
            op = out + lzf_reach;
            handed = op;
            cap_end = capacity_end();
        }
        if (base + static_cast<std::uint64_t>(op - out) >= stop &&
            input_left + static_cast<std::uint64_t>(iend - ip) > 0) {
            outcome.stopped = true;
            break;
        }
        if (ip == iend) break;  // the whole payload is decoded

        // Decodes instructions while the input holds a whole one for sure.
        while (iend - ip >= longest_instruction && op <= shift_at) {
            if (!decode_one<false>(ip, iend, op, cap_end, base + static_cast<std::uint64_t>(op - out))) return outcome;
        }
        // The payload's last few bytes: one instruction, every byte checked.
        if (iend - ip < longest_instruction && input_left == 0 && ip < iend && op <= shift_at) {
            if (!decode_one<true>(ip, iend, op, cap_end, base + static_cast<std::uint64_t>(op - out))) return outcome;
        }
    }
    sink(handed, static_cast<std::size_t>(op - handed));
    outcome.decoded = base + static_cast<std::uint64_t>(op - out);
    outcome.ok = true;
    return outcome;
}

}  // namespace vantrel
