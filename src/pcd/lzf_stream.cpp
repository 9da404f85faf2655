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
    } else if (distance >= 8) {
        // Each 8 bytes read lie wholly before the 8 written: as common as the rest together in
        // lidar planes (a 7-byte match 8 back: the next of a field's 8-byte values).
        for (std::size_t i = 0; i < length; i += 8) std::memcpy(op + i, ref + i, 8);
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
// output's start, or past cap_end. Unguarded, the caller has also made sure
// that no instruction can reach past cap_end or before the start (room for
// the longest ahead, a whole reach behind), and neither is checked.
template <bool Checked, bool Guarded = true>
inline bool decode_one(std::uint8_t*& ip, const std::uint8_t* iend, std::uint8_t*& op, const std::uint8_t* cap_end,
                       std::uint64_t decoded) noexcept {
    const unsigned ctrl = *ip++;
    if (ctrl < 32) {
        const std::size_t length = ctrl + 1;
        if (Checked && static_cast<std::ptrdiff_t>(length) > iend - ip) return false;
        if (Guarded && static_cast<std::ptrdiff_t>(length) > cap_end - op) return false;
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
    if (Guarded && distance > decoded) return false;
    if (Guarded && static_cast<std::ptrdiff_t>(length) > cap_end - op) return false;
    copy_back(op, distance, length);
    op += length;
    return true;
}

// The 8 bytes before the output position, kept in a register while the
// instructions allow. A field's 8-byte values (timestamps) come as a literal of
// the bytes that change, then a back-reference of the rest, 8 back: that copy
// read back the bytes which the two instructions before had just stored, and
// waited for both stores. Little-endian: byte i of `bytes` is op[i - 8].
struct Tail {
    std::uint64_t bytes = 0;
    bool known = false;
};

inline std::uint64_t load8(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

constexpr bool little_endian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// decode_one<false, false> with the tail kept: the same bytes out.
inline void decode_kept(std::uint8_t*& ip, std::uint8_t*& op, Tail& tail) noexcept {
    const unsigned ctrl = *ip++;
    if (ctrl < 32) {
        const std::size_t length = ctrl + 1;
        std::memcpy(op, ip, 32);
        if (tail.known) {
            // The literal's last 8 bytes, or its bytes after the tail's last (8 - length);
            // chosen without a branch, as literal lengths come in no order.
            const std::uint64_t whole = load8(ip + (length >= 8 ? length - 8 : 0));
            const unsigned shift = static_cast<unsigned>(length & 7) * 8;
            const std::uint64_t joined = (tail.bytes >> shift) | ((load8(ip) << (63 - shift)) << 1);
            tail.bytes = length >= 8 ? whole : joined;
        }
        op += length;
        ip += length;
        return;
    }
    std::size_t length = ctrl >> 5;
    if (length == 7) length += *ip++;
    const std::size_t distance = ((ctrl & 31u) << 8) + *ip++ + 1;
    length += 2;
    if (little_endian && distance == 8 && length <= 8) {
        if (!tail.known) tail.bytes = load8(op - 8), tail.known = true;
        std::memcpy(op, &tail.bytes, 8);
        // The bytes before the new position: the tail's last (8 - length), then its first length.
        const unsigned shift = static_cast<unsigned>(length) * 8 & 63;
        tail.bytes = (tail.bytes >> shift) | (tail.bytes << ((64 - shift) & 63));
    } else {
        copy_back(op, distance, length);
        tail.known = false;
    }
    op += length;
}

// One payload decoded: the input a block at a time, the output through a
// window (or straight into the caller's memory), each step a function.
class StreamDecoder {
public:
    StreamDecoder(std::uint64_t input_size, std::uint64_t capacity, std::uint64_t stop,
                  const std::function<std::size_t(std::uint8_t*, std::size_t)>& read,
                  const std::function<void(const std::uint8_t*, std::size_t)>& sink, std::uint8_t* into)
        : capacity_(capacity),
          stop_(stop),
          read_(read),
          sink_(sink),
          into_(into),
          input_left_(input_size),
          // Small payloads (most files are small) take small buffers.
          block_(static_cast<std::size_t>(std::min<std::uint64_t>(input_size, input_block))),
          input_(block_ + longest_instruction, false),
          // Straight into the caller's memory, the whole output is the history
          // and the window never moves.
          window_size_(into != nullptr
                           ? static_cast<std::size_t>(capacity) + slack
                           : lzf_reach + std::min<std::uint64_t>(capacity, window_area) + longest_output + slack),
          window_(into != nullptr ? 0 : window_size_, false) {
        ip_ = iend_ = input_.data();
        out_ = into != nullptr ? into : window_.data();
        shift_at_ =
            into != nullptr ? out_ + capacity + 1 : out_ + lzf_reach + std::min<std::uint64_t>(capacity, window_area);
        op_ = handed_ = out_;
        cap_end_ = capacity_end();
    }

    LzfOutcome run() {
        for (;;) {
            if (iend_ - ip_ < longest_instruction && input_left_ > 0 && !refill()) {
                outcome_.cut = true;  // the payload ends before its declared size
                return outcome_;
            }
            hand_out();
            if (decoded() >= stop_ && input_left_ + static_cast<std::uint64_t>(iend_ - ip_) > 0) {
                outcome_.stopped = true;
                break;
            }
            if (ip_ == iend_) break;  // the whole payload is decoded
            if (!decode_available()) return outcome_;
        }
        sink_(handed_, static_cast<std::size_t>(op_ - handed_));
        outcome_.decoded = decoded();
        outcome_.ok = true;
        return outcome_;
    }

private:
    std::uint64_t decoded() const noexcept { return base_ + static_cast<std::uint64_t>(op_ - out_); }

    // Where the capacity ends in the window; past the window's end, it does not bind.
    std::uint8_t* capacity_end() const noexcept {
        return capacity_ - base_ >= window_size_ ? out_ + window_size_ : out_ + (capacity_ - base_);
    }

    // Keeps the input's last bytes and reads a block after them. False when
    // the input gives out before the payload's size.
    bool refill() {
        poll_interrupt();
        std::uint8_t* const start = input_.data();
        const auto kept = static_cast<std::size_t>(iend_ - ip_);
        std::memmove(start, ip_, kept);
        ip_ = start;
        iend_ = start + kept;
        while (input_left_ > 0 && static_cast<std::size_t>(iend_ - start) < block_) {
            const auto want = static_cast<std::size_t>(
                std::min<std::uint64_t>(input_left_, block_ - static_cast<std::size_t>(iend_ - start)));
            const std::size_t got = read_(iend_, want);
            if (got == 0) return false;
            iend_ += got;
            input_left_ -= got;
            outcome_.taken += got;
        }
        return true;
    }

    // Gives the sink what is decoded: straight into memory, as it grows; in a
    // window, once it is full, keeping what back-references may reach.
    void hand_out() {
        if (into_ != nullptr && op_ - handed_ >= static_cast<std::ptrdiff_t>(window_area)) {
            sink_(handed_, static_cast<std::size_t>(op_ - handed_));
            handed_ = op_;
        }
        if (op_ > shift_at_) {
            sink_(handed_, static_cast<std::size_t>(op_ - handed_));
            std::memmove(out_, op_ - lzf_reach, lzf_reach);
            base_ += static_cast<std::uint64_t>(op_ - lzf_reach - out_);
            op_ = out_ + lzf_reach;
            handed_ = op_;
            cap_end_ = capacity_end();
        }
    }

    // Decodes what the input holds up to the window's end. The positions are
    // kept in locals: a store through the output may alias any member.
    bool decode_available() noexcept {
        std::uint8_t* ip = ip_;
        std::uint8_t* op = op_;
        const std::uint8_t* const iend = iend_;
        const std::uint64_t before_out = base_;  // decoded bytes before out_
        bool ok = true;
        // Instructions while the input holds a whole one for sure; unguarded where the output
        // has room for the longest and a whole reach behind it.
        while (ok && iend - ip >= longest_instruction && op <= shift_at_) {
            const std::uint64_t decoded = before_out + static_cast<std::uint64_t>(op - out_);
            if (decoded >= lzf_reach && cap_end_ - op > static_cast<std::ptrdiff_t>(longest_output)) {
                const std::uint8_t* const last_in = iend - longest_instruction;
                const std::uint8_t* const last_out =
                    std::min<const std::uint8_t*>(shift_at_, cap_end_ - longest_output);
                Tail tail;
                while (ip <= last_in && op <= last_out) decode_kept(ip, op, tail);
                continue;
            }
            ok = decode_one<false>(ip, iend, op, cap_end_, decoded);
        }
        // The payload's last few bytes: one instruction, every byte checked.
        if (ok && iend - ip < longest_instruction && input_left_ == 0 && ip < iend && op <= shift_at_) {
            ok = decode_one<true>(ip, iend, op, cap_end_, before_out + static_cast<std::uint64_t>(op - out_));
        }
        ip_ = ip;
        op_ = op;
        return ok;
    }

    const std::uint64_t capacity_;
    const std::uint64_t stop_;
    const std::function<std::size_t(std::uint8_t*, std::size_t)>& read_;
    const std::function<void(const std::uint8_t*, std::size_t)>& sink_;
    std::uint8_t* const into_;
    LzfOutcome outcome_;

    std::uint64_t input_left_;  // payload bytes not read yet
    const std::size_t block_;
    BulkMemory input_;
    std::uint8_t* ip_;
    std::uint8_t* iend_;

    const std::size_t window_size_;
    BulkMemory window_;
    std::uint8_t* out_;
    std::uint8_t* shift_at_;
    std::uint8_t* op_;
    std::uint8_t* handed_;    // window bytes before this went to the sink
    std::uint64_t base_ = 0;  // where out_[0] lies in the decoded stream
    std::uint8_t* cap_end_;
};

}  // namespace

LzfOutcome decode_lzf_stream(std::uint64_t input_size, std::uint64_t capacity, std::uint64_t stop,
                             const std::function<std::size_t(std::uint8_t*, std::size_t)>& read,
                             const std::function<void(const std::uint8_t*, std::size_t)>& sink, std::uint8_t* into) {
    return StreamDecoder(input_size, capacity, stop, read, sink, into).run();
}

}  // namespace vantrel
