#include "pcd/ascii_reader.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <type_traits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <fast_float/fast_float.h>

#include "pcd/byte_ranges.h"
#include "pcd/element_types.h"
#include "pcd/interrupt.h"
#include "pcd/stream_io.h"
#include "pcd/thread_pool.h"

namespace vantrel {

enum class Parse : std::uint8_t { f32, f64, i64, u64, none };

// The value slots of one field: `count` elements `size` bytes apart. The
// elements of a field follow one another in the text, so one entry per field
// keeps the list as short as the FIELDS line, whatever COUNT claims.
struct AsciiSection::Column {
    std::int64_t offset;  // of the first element inside the record filled
    std::int32_t size;
    std::int32_t count;
    Parse parse;         // chosen by the TYPE letter and SIZE
    std::uint8_t width;  // bytes of the parsed value that a store writes
    bool inside;         // every element stores all `width` bytes inside the record
    bool keep;           // stored at all
    std::int32_t field;  // in header.fields
};

namespace {

using Column = AsciiSection::Column;

Parse parse_of(const PcdField& field) noexcept {
    switch (field.type) {
        case type_float: return field.size == 4 ? Parse::f32 : Parse::f64;
        case type_signed: return Parse::i64;
        case type_unsigned: return Parse::u64;
        default: return Parse::none;
    }
}

// Columns of other TYPE letters take nothing from the text, nor do fields
// without elements.
bool in_text(const PcdField& field) noexcept {
    return field.count >= 1 && parse_of(field) != Parse::none;
}

// Where a record first failed to read a value: the byte, and the field and
// element that tried it.
struct Miss {
    const char* at = nullptr;
    std::int32_t field = -1;
    std::int32_t element = 0;
};

Column make_column(const PcdField& field, std::int32_t index, std::int64_t offset, std::int64_t step,
                   bool keep) noexcept {
    Column column{offset, field.size, field.count, parse_of(field), 0, false, keep, index};
    // The parsed value's low bytes, never past the field's own SIZE: exactly
    // SIZE for every element type, clipped for the sizes outside the table.
    column.width = static_cast<std::uint8_t>(std::clamp<std::int32_t>(field.size, 0, 8));
    const std::int64_t last = offset + std::int64_t{field.count - 1} * field.size;
    column.inside = offset >= 0 && last >= 0 && last + column.width <= step && offset + column.width <= step;
    return column;
}

// Writes the parsed value's little-endian bytes to element k, keeping only
// those that fall inside the record.
template <typename T>
inline void store(std::uint8_t* row, std::int64_t step, const Column& column, std::int32_t k, T value) noexcept {
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    const std::int64_t at = column.offset + std::int64_t{k} * column.size;
    if (column.inside) {
        if (column.width == sizeof(T)) {
            std::memcpy(row + at, bytes, sizeof(T));
            return;
        }
        switch (column.width) {
            case 4: std::memcpy(row + at, bytes, 4); return;
            case 2: std::memcpy(row + at, bytes, 2); return;
            case 1: std::memcpy(row + at, bytes, 1); return;
            default: std::memcpy(row + at, bytes, column.width); return;
        }
    }
    const std::int64_t lo = std::max<std::int64_t>(0, -at);
    const std::int64_t hi = std::min<std::int64_t>(column.width, step - at);
    if (hi > lo) std::memcpy(row + (at + lo), bytes + lo, static_cast<std::size_t>(hi - lo));
}

// Zeroes what store() wrote for values [from, to) of a run of records at
// `rows` (value t is element t % slots of record t / slots): those records
// are as if never read, at a cost in the values, not in the records' size.
void clear_values(std::uint8_t* rows, std::int64_t step, const std::vector<Column>& columns,
                  const std::vector<std::int64_t>& slots, std::int64_t from, std::int64_t to) noexcept {
    const std::int64_t per = slots.back();
    while (from < to) {
        const std::int64_t s0 = from % per;
        const std::int64_t s1 = std::min(per, s0 + (to - from));
        std::uint8_t* const row = rows + from / per * step;
        for (std::size_t c = 0; c < columns.size(); ++c) {
            const Column& column = columns[c];
            const std::int64_t e0 = std::max(s0, slots[c]) - slots[c];
            const std::int64_t e1 = std::min(s1, slots[c + 1]) - slots[c];
            if (e0 >= e1 || !column.keep) continue;
            const std::int64_t lo = std::max<std::int64_t>(0, column.offset + e0 * column.size);
            const std::int64_t hi = std::min(step, column.offset + (e1 - 1) * column.size + column.width);
            if (hi > lo) std::memset(row + lo, 0, static_cast<std::size_t>(hi - lo));
        }
        from += s1 - s0;
    }
}

// Integers parse in line: a call per value costs as much as the parse.
template <typename T>
[[gnu::flatten]] inline const char* parse_integer(const char* p, const char* last, T& value) noexcept {
    return std::from_chars(p, last, value).ptr;
}

template <typename T>
inline const char* parse_one(const char* p, const char* last, T& value) noexcept {
    if constexpr (std::is_floating_point_v<T>) {
        return fast_float::from_chars(p, last, value).ptr;
    } else {
        return parse_integer(p, last, value);
    }
}

// True when a parse of this kind takes a number at p. Rare, and kept out of
// line so that the hot loop's parses stay inlined.
[[gnu::cold, gnu::noinline]] bool parses(Parse parse, const char* p, const char* last) noexcept {
    switch (parse) {
        case Parse::f32: {
            float value;
            return parse_one(p, last, value) != p;
        }
        case Parse::f64: {
            double value;
            return parse_one(p, last, value) != p;
        }
        case Parse::i64: {
            std::int64_t value;
            return parse_one(p, last, value) != p;
        }
        case Parse::u64: {
            std::uint64_t value;
            return parse_one(p, last, value) != p;
        }
        case Parse::none: return false;
    }
    return false;
}

// Reads the elements of one column from `p`. A value that no parse accepts
// stays under the read position: the column's remaining elements would fail
// on the same byte and keep their zeros, so the column ends there. The first
// position where an element could not be read (a byte no parse takes, or the
// end of the text) goes to `miss` unless one is there already.
// One value that must be one whole run of bytes: stored (element k) and the
// position after it, or null when the parse does not take all of the run.
template <typename T>
inline const char* take_value(const char* p, const char* end, std::uint8_t* row, std::int64_t step,
                              const Column& column, std::int32_t k) noexcept {
    T value = 0;
    const char* next = parse_one(p, end, value);
    if (next == p || (next != end && static_cast<unsigned char>(*next) > 32)) return nullptr;
    if (column.keep) {
        if (column.count == 1 && column.inside && column.width == sizeof(T)) {
            std::memcpy(row + column.offset, &value, sizeof(T));
        } else {
            store(row, step, column, k, value);
        }
    }
    return next;
}

// take_value for the column's kind of value.
inline const char* take(const Column& column, const char* p, const char* end, std::uint8_t* row, std::int64_t step,
                        std::int32_t k) noexcept {
    switch (column.parse) {
        case Parse::f32: return take_value<float>(p, end, row, step, column, k);
        case Parse::f64: return take_value<double>(p, end, row, step, column, k);
        case Parse::i64: return take_value<std::int64_t>(p, end, row, step, column, k);
        case Parse::u64: return take_value<std::uint64_t>(p, end, row, step, column, k);
        case Parse::none: break;
    }
    return nullptr;
}

template <typename T>
inline const char* read_column(const char* p, const char* last, std::uint8_t* row, std::int64_t step,
                               const Column& column, Miss& miss) noexcept {
    if (column.count == 1 && column.inside) {  // the common case, kept lean
        while (p != last && static_cast<unsigned char>(*p) <= 32) ++p;
        T value = 0;
        const char* next = parse_one(p, last, value);
        if (next != p) {
            if (!column.keep) {
                // read, not stored
            } else if (column.width == sizeof(T)) {
                std::memcpy(row + column.offset, &value, sizeof(T));
            } else {
                store(row, step, column, 0, value);
            }
        } else if (miss.at == nullptr) {
            miss = {p, column.field, 0};
        }
        return next;
    }
    for (std::int32_t k = 0; k < column.count; ++k) {
        while (p != last && static_cast<unsigned char>(*p) <= 32) ++p;
        T value = 0;
        const char* next = parse_one(p, last, value);
        if (next == p) {
            if (miss.at == nullptr) miss = {p, column.field, k};
            return p;
        }
        if (column.keep) store(row, step, column, k, value);
        p = next;
    }
    return p;
}

// Reads one record's values, column after column; a column that is not kept
// reads its values all the same.
inline const char* read_record(const char* p, const char* limit, std::uint8_t* row, std::int64_t step,
                               const std::vector<Column>& columns, Miss& miss) noexcept {
    for (const Column& column : columns) {
        switch (column.parse) {
            case Parse::f32: p = read_column<float>(p, limit, row, step, column, miss); break;
            case Parse::f64: p = read_column<double>(p, limit, row, step, column, miss); break;
            case Parse::i64: p = read_column<std::int64_t>(p, limit, row, step, column, miss); break;
            case Parse::u64: p = read_column<std::uint64_t>(p, limit, row, step, column, miss); break;
            case Parse::none: break;
        }
    }
    return p;
}

// Line feeds in [p, p + n), counted in blocks whose byte-wide sums the
// compiler turns into vector adds.
std::int64_t count_line_feeds(const char* p, std::size_t n) noexcept {
    std::int64_t total = 0;
    for (; n >= 255; p += 255, n -= 255) {
        std::uint8_t block = 0;
        for (int i = 0; i < 255; ++i) block = static_cast<std::uint8_t>(block + (p[i] == '\n'));
        total += block;
    }
    for (std::size_t i = 0; i < n; ++i) total += p[i] == '\n';
    return total;
}

// Line feeds in the `bytes` bytes from `from`, read again through a scratch
// buffer; the stream is left where it stood.
std::int64_t count_line_feeds(std::istream& in, std::istream::pos_type from, std::int64_t bytes) {
    in.clear();
    const std::istream::pos_type back = in.tellg();
    in.seekg(from);
    BulkMemory scratch(std::size_t{1} << 16, false);
    char* const text = reinterpret_cast<char*>(scratch.data());
    std::int64_t total = 0;
    while (bytes > 0) {
        in.read(text, static_cast<std::streamsize>(std::min<std::int64_t>(bytes, std::int64_t{1} << 16)));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        total += count_line_feeds(text, got);
        bytes -= static_cast<std::int64_t>(got);
    }
    in.clear();
    in.seekg(back);
    return total;
}

// Values in [p, end), which starts just after a separator (or at the text's
// start): each run of bytes above 32 is one. Many bytes at a time (16 in a
// vector register, else 8 in a 64-bit word): this pass runs over all the text
// before any is parsed, so it must cost little beside the parse.
std::int64_t count_tokens(const char* p, const char* end) noexcept {
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr std::uint64_t high = 0x8080808080808080ull;
    constexpr std::uint64_t to_33 = 0x5F5F5F5F5F5F5F5Full;  // 0x80 - 33 in every byte
    constexpr std::uint64_t pairs = 0x00FF00FF00FF00FFull;
    std::int64_t tokens = 0;
    std::uint64_t carry = 0;  // bit 7: the byte before is part of a value
#if defined(__SSE2__)
    // Sixteen bytes at a time where every x86-64 can.
    const __m128i floor = _mm_set1_epi8(33);
    __m128i previous = _mm_setzero_si128();  // its last byte: 0xFF when part of a value
    while (end - p >= 16) {
        __m128i lanes = _mm_setzero_si128();  // per byte, the values that start there: at most 255
        for (int i = 0; i < 255 && end - p >= 16; ++i, p += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i value = _mm_cmpeq_epi8(_mm_max_epu8(bytes, floor), bytes);  // 0xFF: above 32
            const __m128i before = _mm_or_si128(_mm_slli_si128(value, 1), _mm_srli_si128(previous, 15));
            lanes = _mm_sub_epi8(lanes, _mm_andnot_si128(before, value));
            previous = value;
        }
        const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
        tokens += _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
    }
    carry = static_cast<std::uint64_t>(_mm_movemask_epi8(previous) & 0x8000) >> 8;
#endif
    while (end - p >= 8) {
        std::uint64_t lanes = 0;  // per byte, the values that start there: at most 255
        for (int i = 0; i < 255 && end - p >= 8; ++i, p += 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            word = __builtin_bswap64(word);  // byte k of the text in bits 8k to 8k + 7
#endif
            // Bit 7 of each byte: above 32. No carry crosses bytes: (x & 0x7F) + 0x5F < 0x100.
            const std::uint64_t value = (((word & low7) + to_33) | word) & high;
            const std::uint64_t starts = value & ~((value << 8) | carry);
            carry = value >> 56;
            lanes += starts >> 7;
        }
        lanes = (lanes & pairs) + ((lanes >> 8) & pairs);  // four 16-bit sums of at most 510
        tokens += static_cast<std::int64_t>((lanes * 0x0001000100010001ull) >> 48);
    }
    bool in_value = carry != 0;
    for (; p != end; ++p) {
        const bool above = static_cast<unsigned char>(*p) > 32;
        tokens += above && !in_value;
        in_value = above;
    }
    return tokens;
}

// The first byte of the n-th value (from 0) in [p, end), or its end's byte
// when `value_end`.
const char* find_token(const char* p, const char* end, std::int64_t n, bool value_end) noexcept {
    for (;;) {
        while (p != end && static_cast<unsigned char>(*p) <= 32) ++p;
        if (n == 0 && !value_end) return p;
        while (p != end && static_cast<unsigned char>(*p) > 32) ++p;
        if (n == 0) return p;
        --n;
    }
}

// Just after the last separator in [first, last), or null when there is none.
const char* after_last_separator(const char* first, const char* last) noexcept {
    while (last != first) {
        if (static_cast<unsigned char>(*--last) <= 32) return last + 1;
    }
    return nullptr;
}

}  // namespace

AsciiSection::AsciiSection(std::istream& in, const PcdHeader& header, std::size_t chunk_size)
    : in_(in), header_(header), chunk_size_(std::max<std::size_t>(chunk_size, 1)) {
    // With workers to share it, the text comes in larger chunks: a few MiB each.
    const int threads = ThreadPool::shared().threads();
    if (chunk_size == ascii_chunk_size && threads > 1) chunk_size_ = std::size_t{2} << 20 << (threads > 2 ? 1 : 0);
    ahead_lead_ = std::min(chunk_size_, std::size_t{64} << 10);
    nothing_to_read_ = header.points < 1 || std::none_of(header.fields.begin(), header.fields.end(), in_text);
    for (const PcdField& field : header.fields) {
        if (in_text(field)) kinds_ = static_cast<std::uint8_t>(kinds_ | 1u << static_cast<unsigned>(parse_of(field)));
    }
    const std::int64_t known = remaining_bytes(in);
    // A stream that can seek back counts line feeds only when a value cannot
    // be read; one that cannot counts them as the text goes by.
    seekable_ = known >= 0;
    section_ = seekable_ ? in.tellg() : std::istream::pos_type(-1);
    // No more memory than the file still holds.
    const std::size_t capacity = known >= 0 && static_cast<std::uint64_t>(known) < chunk_size_
                                     ? static_cast<std::size_t>(known) + 1
                                     : chunk_size_;
    if (!nothing_to_read_) chunk_ = BulkMemory(capacity, false);
    restart();
}

AsciiSection::~AsciiSection() = default;

void AsciiSection::restart() {
    position_ = 0;
    lead_ = filled_ = begin_ = 0;
    ahead_ready_ = false;
    at_ = 0;
    at_end_ = false;
    line_feeds_before_ = 0;
    done_ = nothing_to_read_;
    complete_ = -1;
    bad_value_ = -1;
    bad_line_feeds_ = 0;
    bad_stuck_ = false;
    excerpt_.clear();
    report_ = DataReport{};
    report_.points_complete = std::max<std::int32_t>(header_.points, 0);
    report_.data_end = header_.data_offset;
}

// Records are parsed from `text` up to `limit` (`at` bytes into the section;
// `at_end` when nothing follows `limit`), until record `stop`. Every chunk
// ends just after a separator (or at the end of the data), so no value is cut
// in two; a record that runs past the chunk is read again, whole, from the
// next one, and reading it again writes the same bytes. Returns where the
// next call must start.
const char* AsciiSection::feed(const char* text, const char* limit, std::int64_t at, bool at_end, std::int64_t stop,
                               std::uint8_t* rows, std::int64_t first, std::int64_t step) {
    const char* p = text;
    for (; !done_ && position_ < stop; ++position_) {
        const char* const record_start = p;
        Miss miss;
        std::uint8_t* const row = rows != nullptr ? rows + (position_ - first) * step : nullptr;
        p = read_record(p, limit, row, step, columns_, miss);
        if (p == limit && !at_end) return record_start;  // runs into the next chunk
        if (miss.at != nullptr) note_miss(text, miss.at, p, limit, at, miss.field, miss.element);
        // Once the text is used up, or a record read nothing, every later
        // record would read nothing too: the rest keeps its zeros.
        if (p == limit || p == record_start) {
            done_ = true;
            if (complete_ < 0) complete_ = position_ + 1;  // this record was the last one read
        }
    }
    report_.data_end = header_.data_offset + at + (p - text);
    return p;
}

// Reads whole records from `text` on the pool while every value is one run of
// bytes that its column's parse takes whole: blocks of the text count their
// values, which says where each block starts among the records, then parse
// into their places. Stops before the first record that holds anything else
// (sets `irregular`), for the sequential rules to read; and before a record
// the text may not hold in full. `text` must start a value, or separators
// before one, at a record's start. Returns where reading stopped.
const char* AsciiSection::feed_parallel(const char* text, const char* limit, std::int64_t at, std::int64_t stop,
                                        std::uint8_t* rows, std::int64_t first, std::int64_t step, bool& irregular) {
    irregular = false;
    const std::int64_t slots = slots_.back();
    ThreadPool& pool = ThreadPool::shared();
    const std::int64_t length = limit - text;
    const std::int64_t nominal = std::max<std::int64_t>(64, length / (std::int64_t{pool.threads()} * 16));
    std::vector<const char*> bounds{text};
    for (const char* p = text + nominal; p < limit; p += nominal) {
        while (p < limit && static_cast<unsigned char>(*p) > 32) ++p;  // each block starts after a separator
        if (++p >= limit) break;
        bounds.push_back(p);
    }
    bounds.push_back(limit);
    const std::size_t blocks = bounds.size() - 1;
    std::vector<std::int64_t> starts(blocks + 1, 0);
    pool.run(blocks, [&](std::size_t b) { starts[b + 1] = count_tokens(bounds[b], bounds[b + 1]); });
    for (std::size_t b = 0; b < blocks; ++b) starts[b + 1] += starts[b];
    const std::int64_t records = std::min(stop - position_, starts[blocks] / slots);
    if (records == 0) return text;
    const std::int64_t values = records * slots;
    // Each block's first record that holds a value not one token, as the index of its first value.
    std::vector<std::int64_t> odd(blocks, INT64_MAX);
    std::vector<const char*> ends(blocks, nullptr);  // after the last value, in the block that reads it
    const auto next_text = [this] {
        if (!at_end_ && !ahead_ready_) read_ahead();
    };
    pool.run(
        blocks,
        [&](std::size_t b) {
            std::int64_t t = starts[b];
            const std::int64_t block_end = std::min(starts[b + 1], values);
            if (t >= block_end) return;
            std::int64_t slot = t % slots;
            auto c =
                static_cast<std::size_t>(std::upper_bound(slots_.begin(), slots_.end(), slot) - slots_.begin() - 1);
            auto k = static_cast<std::int32_t>(slot - slots_[c]);
            const char* p = bounds[b];
            const char* const end = bounds[b + 1];
            std::uint8_t* row = rows != nullptr ? rows + (position_ + t / slots - first) * step : nullptr;
            // One value at a time: the part of a record that a block begins or ends in.
            const auto one = [&]() -> bool {
                while (static_cast<unsigned char>(*p) <= 32) ++p;  // the count says a value follows
                const Column& column = columns_[c];
                const char* next = take(column, p, end, row, step, k);
                if (next == nullptr) return false;
                p = next;
                if (++k == column.count) {
                    k = 0;
                    if (++c == columns_.size()) {
                        c = 0;
                        if (row != nullptr) row += step;
                    }
                }
                return true;
            };
            for (; t < block_end && (c != 0 || k != 0); ++t) {
                if (!one()) {
                    odd[b] = t - t % slots;
                    return;
                }
            }
            // Whole records, column after column.
            for (; t + slots <= block_end; t += slots) {
                for (const Column& column : columns_) {
                    for (std::int32_t e = 0; e < column.count; ++e) {
                        while (static_cast<unsigned char>(*p) <= 32) ++p;
                        p = take(column, p, end, row, step, e);
                        if (p == nullptr) {
                            odd[b] = t;
                            return;
                        }
                    }
                }
                if (row != nullptr) row += step;
            }
            for (; t < block_end; ++t) {
                if (!one()) {
                    odd[b] = t - t % slots;
                    return;
                }
            }
            if (t == values) ends[b] = p;
        },
        0, next_text);
    const std::int64_t first_odd = *std::min_element(odd.begin(), odd.end());
    const std::int64_t done = first_odd == INT64_MAX ? records : first_odd / slots;
    if (done < records && rows != nullptr) {
        // Records from the odd one on were read on a guess: what it stored goes
        // back to zero, for the sequential rules to read again.
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::int64_t from = std::max(starts[b], done * slots);
            // A block may have stored values of its odd record before the one it stopped at.
            const std::int64_t to = std::min({starts[b + 1], values, odd[b] == INT64_MAX ? INT64_MAX : odd[b] + slots});
            if (from < to) clear_values(rows + (position_ - first) * step, step, columns_, slots_, from, to);
        }
    }
    irregular = done < records;
    position_ += done;
    if (done == 0) return text;
    const std::int64_t last = done * slots - 1;  // the last value read
    const std::size_t b =
        static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), last) - starts.begin() - 1);
    const char* const after = done == records ? ends[b] : find_token(bounds[b], bounds[b + 1], last - starts[b], true);
    report_.data_end = header_.data_offset + at + (after - text);
    return after;
}

// A record that is not read in full. The first such record ends the points
// held in full; a miss on a byte (not at the end of the text) is a value that
// cannot be read. It sticks, and reading ends there, when nothing after it in
// its record read it (`end` is still on it) and either no record follows or
// no column of any kind can read it.
void AsciiSection::note_miss(const char* text, const char* miss, const char* end, const char* limit, std::int64_t at,
                             std::int32_t field, std::int32_t element) {
    if (complete_ < 0) complete_ = position_;
    if (miss == limit || bad_value_ >= 0) return;
    bad_value_ = at + (miss - text);
    bad_point_ = position_;
    bad_field_ = field;
    bad_element_ = element;
    if (!seekable_) {
        bad_line_feeds_ =
            line_feeds_before_ + count_line_feeds(text - (at - at_), static_cast<std::size_t>(bad_value_ - at_));
    }
    bad_stuck_ = end == miss;
    if (bad_stuck_ && position_ + 1 < header_.points) {
        for (unsigned kind = 0; kind < 4; ++kind) {
            if (((static_cast<unsigned>(kinds_) >> kind) & 1u) && parses(static_cast<Parse>(kind), miss, limit))
                bad_stuck_ = false;
        }
    }
    const char* stop = miss;
    while (stop != limit && stop - miss < 16 && *stop != '\n' && *stop != '\r') ++stop;
    excerpt_.assign(miss, stop);
}

void AsciiSection::run(std::int64_t n, const Placement* placement, std::uint8_t* records) {
    const std::int64_t first = position_;
    const std::int64_t stop = position_ + n;
    if (done_) {
        position_ = stop;
        return;
    }
    columns_.clear();
    for (std::size_t f = 0; f < header_.fields.size(); ++f) {
        const PcdField& field = header_.fields[f];
        if (!in_text(field)) continue;
        const bool keep = placement != nullptr && placement->offset[f] >= 0;
        columns_.push_back(make_column(field, static_cast<std::int32_t>(f), keep ? placement->offset[f] : 0,
                                       placement ? placement->step : 0, keep));
    }
    slots_.assign(1, 0);
    for (const Column& column : columns_) slots_.push_back(slots_.back() + column.count);
    // Blocks that share a record write its bytes at once: only where no two
    // kept values share a byte, so that which writes last cannot matter.
    std::vector<ByteRange> spans;
    bool shareable = true;
    for (const Column& column : columns_) {
        if (!column.keep) continue;
        shareable = shareable && column.inside;
        spans.emplace_back(column.offset, column.offset + std::int64_t{column.size} * column.count);
    }
    const std::vector<bool> shared = sharing_bytes(spans);
    shareable = shareable && std::none_of(shared.begin(), shared.end(), [](bool s) { return s; });
    const std::int64_t step = placement ? placement->step : 0;
    std::uint8_t* const rows = placement ? records : nullptr;
    const bool had_bad_value = bad_value_ >= 0;
    ThreadPool& pool = ThreadPool::shared();
    while (!done_ && position_ < stop) {
        poll_interrupt();
        char* const text = reinterpret_cast<char*>(chunk_.data() + lead_);
        const char* limit = at_end_ ? text + filled_ : after_last_separator(text + begin_, text + filled_);
        if (limit != nullptr) {
            const char* p = text + begin_;
            // Records of values that are one token each go on the pool; the
            // first record that is not such goes by the sequential rules.
            while (shareable && !done_ && position_ < stop && pool.worth_sharing(limit - p)) {
                const bool at_value = p == text || static_cast<unsigned char>(p[-1]) <= 32;
                bool irregular = true;
                if (at_value) p = feed_parallel(p, limit, at_ + (p - text), stop, rows, first, step, irregular);
                if (!irregular || done_ || position_ == stop) break;
                const std::int64_t before = position_;
                p = feed(p, limit, at_ + (p - text), at_end_, position_ + 1, rows, first, step);
                if (position_ == before) break;  // the record runs into the next chunk
            }
            const char* next = feed(p, limit, at_ + (p - text), at_end_, stop, rows, first, step);
            begin_ = static_cast<std::size_t>(next - text);
            if (done_ || position_ == stop) break;
        }
        // More text is needed: keep what is not parsed yet, and read on.
        if (!seekable_) line_feeds_before_ += count_line_feeds(text, begin_);
        at_ += static_cast<std::int64_t>(begin_);
        const std::size_t rest = filled_ - begin_;
        begin_ = 0;
        if (ahead_ready_ && rest <= ahead_lead_) {  // the text read ahead, with the rest in front of it
            std::memcpy(ahead_.data() + ahead_lead_ - rest, text + (filled_ - rest), rest);
            std::swap(chunk_, ahead_);
            lead_ = ahead_lead_ - rest;
            filled_ = rest + ahead_filled_;
            at_end_ = ahead_end_;
            ahead_ready_ = false;
            continue;
        }
        std::memmove(chunk_.data(), text + (filled_ - rest), rest);
        lead_ = 0;
        filled_ = rest;
        const std::size_t more = ahead_ready_ ? ahead_filled_ : 1;
        if (filled_ + more > chunk_.size()) {  // one record longer than the chunk
            BulkMemory grown(std::max(chunk_.size() * 2, filled_ + more), false);
            std::memcpy(grown.data(), chunk_.data(), filled_);
            chunk_ = std::move(grown);
        }
        char* const room = reinterpret_cast<char*>(chunk_.data());
        if (ahead_ready_) {
            std::memcpy(room + filled_, ahead_.data() + ahead_lead_, ahead_filled_);
            filled_ += ahead_filled_;
            at_end_ = ahead_end_;
            ahead_ready_ = false;
            continue;
        }
        in_.read(room + filled_, static_cast<std::streamsize>(chunk_.size() - filled_));
        const auto got = static_cast<std::size_t>(in_.gcount());
        filled_ += got;
        at_end_ = got == 0 || in_.eof();
    }
    if (done_) position_ = stop;  // what follows keeps its zeros
    if (complete_ >= 0) report_.points_complete = complete_;
    if (bad_value_ >= 0 && !had_bad_value) {
        if (seekable_) bad_line_feeds_ = count_line_feeds(in_, section_, bad_value_);
        report_.bad_value_offset = header_.data_offset + bad_value_;
        report_.bad_value_line = header_.header_lines + bad_line_feeds_ + 1;
        report_.bad_value_stuck = bad_stuck_;
        report_.bad_value_excerpt = excerpt_;
        report_.bad_value_point = bad_point_;
        report_.bad_value_field = bad_field_;
        report_.bad_value_element = bad_element_;
    }
}

// Reads the text after the chunk into ahead_, past the room for what the
// chunk will have left.
void AsciiSection::read_ahead() {
    if (ahead_.size() < ahead_lead_ + chunk_size_) ahead_ = BulkMemory(ahead_lead_ + chunk_size_, false);
    char* const room = reinterpret_cast<char*>(ahead_.data() + ahead_lead_);
    in_.read(room, static_cast<std::streamsize>(ahead_.size() - ahead_lead_));
    ahead_filled_ = static_cast<std::size_t>(in_.gcount());
    ahead_end_ = ahead_filled_ == 0 || in_.eof();
    ahead_ready_ = true;
}

void AsciiSection::read(std::int64_t n, const Placement& placement, std::uint8_t* records, bool) {
    if (n > 0) run(n, &placement, records);
}

void AsciiSection::skip(std::int64_t n) {
    if (n > 0) run(n, nullptr, nullptr);
}

bool AsciiSection::rewind() {
    if (!seekable_) return false;
    in_.clear();
    in_.seekg(section_);
    restart();
    return true;
}

}  // namespace vantrel
