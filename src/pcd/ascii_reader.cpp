#include "pcd/ascii_reader.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <type_traits>

#include <fast_float/fast_float.h>

#include "pcd/bulk_memory.h"
#include "pcd/element_types.h"
#include "pcd/stream_io.h"

namespace vantrel {
namespace {

enum class Parse : std::uint8_t { f32, f64, i64, u64, none };

// The value slots of one field: `count` elements `size` bytes apart. The
// elements of a field follow one another in the text, so one entry per field
// keeps the list as short as the FIELDS line, whatever COUNT claims.
struct AsciiColumn {
    std::int64_t offset;  // of the first element inside the record
    std::int32_t size;
    std::int32_t count;
    Parse parse;         // chosen by the TYPE letter and SIZE
    std::uint8_t width;  // bytes of the parsed value that a store writes
    bool inside;         // every element stores all `width` bytes inside the record
};

AsciiColumn make_column(const PcdField& field, std::int64_t point_step) noexcept {
    AsciiColumn column{field.offset, field.size, field.count, Parse::none, 0, false};
    switch (field.type) {
        case type_float: column.parse = field.size == 4 ? Parse::f32 : Parse::f64; break;
        case type_signed: column.parse = Parse::i64; break;
        case type_unsigned: column.parse = Parse::u64; break;
        default: return column;
    }
    // The parsed value's low bytes, never past the field's own SIZE: exactly
    // SIZE for every element type, clipped for the sizes outside the table.
    column.width = static_cast<std::uint8_t>(std::clamp<std::int32_t>(field.size, 0, 8));
    const std::int64_t last = field.offset + std::int64_t{field.count - 1} * field.size;
    column.inside = field.offset >= 0 && last >= 0 && last + column.width <= point_step &&
                    field.offset + column.width <= point_step;
    return column;
}

// Writes the parsed value's little-endian bytes to element k, keeping only
// those that fall inside the record.
template <typename T>
inline void store(std::uint8_t* row, std::int64_t point_step, const AsciiColumn& column, std::int32_t k,
                  T value) noexcept {
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
    const std::int64_t hi = std::min<std::int64_t>(column.width, point_step - at);
    if (hi > lo) std::memcpy(row + (at + lo), bytes + lo, static_cast<std::size_t>(hi - lo));
}

template <typename T>
inline const char* parse_one(const char* p, const char* last, T& value) noexcept {
    if constexpr (std::is_floating_point_v<T>) {
        return fast_float::from_chars(p, last, value).ptr;
    } else {
        return std::from_chars(p, last, value).ptr;
    }
}

// Reads the elements of one column from `p`. A value that no parse accepts
// stays under the read position: the column's remaining elements would fail
// on the same byte and keep their zeros, so the column ends there. The first
// position where an element could not be read (a byte no parse takes, or the
// end of the text) goes to `miss` unless one is there already.
template <typename T>
inline const char* read_column(const char* p, const char* last, std::uint8_t* row, std::int64_t point_step,
                               const AsciiColumn& column, const char*& miss) noexcept {
    if (column.count == 1 && column.inside) {  // the common case, kept lean
        while (p != last && static_cast<unsigned char>(*p) <= 32) ++p;
        T value = 0;
        const char* next = parse_one(p, last, value);
        if (next != p) {
            if (column.width == sizeof(T)) {
                std::memcpy(row + column.offset, &value, sizeof(T));
            } else {
                store(row, point_step, column, 0, value);
            }
        } else if (miss == nullptr) {
            miss = p;
        }
        return next;
    }
    for (std::int32_t k = 0; k < column.count; ++k) {
        while (p != last && static_cast<unsigned char>(*p) <= 32) ++p;
        T value = 0;
        const char* next = parse_one(p, last, value);
        if (next == p) {
            if (miss == nullptr) miss = p;
            return p;
        }
        store(row, point_step, column, k, value);
        p = next;
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

// The point loop over text that arrives in chunks. Every chunk ends just
// after a separator (or at the end of the data), so no value is cut in two;
// a record that runs past the chunk is read again, whole, from the next one.
// Reading a record again writes the same bytes, so the result is the one
// pass over the whole text would give.
class RecordParser {
public:
    RecordParser(const PcdHeader& header, std::uint8_t* buffer)
        : points_(header.points), step_(header.point_step), row_(buffer) {
        columns_.reserve(header.fields.size());
        for (const PcdField& field : header.fields) {
            // Columns of other TYPE letters take nothing from the text.
            if (field.count < 1) continue;
            const AsciiColumn column = make_column(field, step_);
            if (column.parse != Parse::none) columns_.push_back(column);
        }
        done_ = points_ < 1 || columns_.empty();
    }

    bool done() const noexcept { return done_; }

    // Reads records from [text, limit), where `text` lies `at` bytes into the
    // section; `at_end` when nothing follows `limit`. Returns where the next
    // call must start: the first record not read.
    const char* feed(const char* text, const char* limit, std::int64_t at, bool at_end) noexcept {
        const char* p = text;
        for (; !done_ && record_ < points_; ++record_, row_ += step_) {
            const char* const record_start = p;
            const char* miss = nullptr;
            for (const AsciiColumn& column : columns_) {
                switch (column.parse) {
                    case Parse::f32: p = read_column<float>(p, limit, row_, step_, column, miss); break;
                    case Parse::f64: p = read_column<double>(p, limit, row_, step_, column, miss); break;
                    case Parse::i64: p = read_column<std::int64_t>(p, limit, row_, step_, column, miss); break;
                    case Parse::u64: p = read_column<std::uint64_t>(p, limit, row_, step_, column, miss); break;
                    case Parse::none: break;
                }
            }
            if (p == limit && !at_end) return record_start;  // runs into the next chunk
            if (miss != nullptr) note_miss(text, miss, limit, at);
            // Once the text is used up, or a record read nothing, every later
            // record would read nothing too: the rest keeps its zeros.
            if (p == limit || p == record_start) done_ = true;
        }
        done_ = true;
        end_ = at + (p - text);
        return p;
    }

    AsciiOutcome outcome() const {
        AsciiOutcome out = bad_;
        out.points_complete = complete_ >= 0 ? complete_ : record_;
        out.used = end_;
        return out;
    }

    // Line feeds in the text before the chunk being fed; kept by the caller.
    std::int64_t line_feeds_before_chunk = 0;

private:
    // A record that is not read in full. The first such record ends the
    // points held in full; a miss on a byte (not at the end of the text) is
    // a value that cannot be read.
    [[gnu::cold, gnu::noinline]] void note_miss(const char* text, const char* miss, const char* limit,
                                                std::int64_t at) {
        if (complete_ < 0) complete_ = record_;
        if (miss == limit || bad_.bad_value >= 0) return;
        bad_.bad_value = at + (miss - text);
        bad_.bad_value_line_feeds =
            line_feeds_before_chunk + count_line_feeds(text, static_cast<std::size_t>(miss - text));
        const char* stop = miss;
        while (stop != limit && stop - miss < 16 && *stop != '\n' && *stop != '\r') ++stop;
        bad_.excerpt.assign(miss, stop);
    }

    std::vector<AsciiColumn> columns_;
    std::int32_t points_;
    std::int64_t step_;
    std::uint8_t* row_;
    std::int32_t record_ = 0;
    std::int32_t complete_ = -1;
    std::int64_t end_ = 0;
    AsciiOutcome bad_;
    bool done_ = false;
};

// Line feeds in the `bytes` bytes from `from`, read again through `scratch`.
std::int64_t count_line_feeds(std::istream& in, std::istream::pos_type from, std::int64_t bytes, BulkMemory& scratch) {
    in.clear();
    in.seekg(from);
    std::int64_t total = 0;
    char* const text = reinterpret_cast<char*>(scratch.data());
    while (bytes > 0) {
        in.read(text,
                static_cast<std::streamsize>(std::min<std::int64_t>(bytes, static_cast<std::int64_t>(scratch.size()))));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        total += count_line_feeds(text, got);
        bytes -= static_cast<std::int64_t>(got);
    }
    return total;
}

// Just after the last separator in [first, last), or null when there is none.
const char* after_last_separator(const char* first, const char* last) noexcept {
    while (last != first) {
        if (static_cast<unsigned char>(*--last) <= 32) return last + 1;
    }
    return nullptr;
}

}  // namespace

AsciiOutcome read_ascii_data(std::istream& in, const PcdHeader& header, PointBuffer& buffer, std::size_t chunk_size) {
    RecordParser parser(header, buffer.data());
    if (parser.done()) {
        AsciiOutcome out;
        out.points_complete = std::max<std::int64_t>(header.points, 0);
        return out;
    }
    // No more memory than the file still holds.
    const std::int64_t known = remaining_bytes(in);
    // A stream that can seek back counts line feeds only when a value cannot
    // be read; one that cannot counts them as the text goes by.
    const bool seekable = known >= 0;
    const std::istream::pos_type section = seekable ? in.tellg() : std::istream::pos_type(-1);
    chunk_size = std::max<std::size_t>(chunk_size, 1);
    std::size_t capacity =
        known >= 0 && static_cast<std::uint64_t>(known) < chunk_size ? static_cast<std::size_t>(known) + 1 : chunk_size;
    BulkMemory chunk(capacity, false);
    std::size_t filled = 0;
    std::int64_t at = 0;  // where the chunk's text lies in the section
    bool at_end = false;
    while (!parser.done()) {
        if (filled == capacity) {  // one record longer than the chunk
            BulkMemory grown(capacity * 2, false);
            std::memcpy(grown.data(), chunk.data(), filled);
            chunk = std::move(grown);
            capacity *= 2;
        }
        char* const text = reinterpret_cast<char*>(chunk.data());
        in.read(text + filled, static_cast<std::streamsize>(capacity - filled));
        const auto got = static_cast<std::size_t>(in.gcount());
        filled += got;
        at_end = got == 0 || in.eof();
        const char* limit = at_end ? text + filled : after_last_separator(text, text + filled);
        if (limit == nullptr) continue;  // one value so far: read on
        const char* next = parser.feed(text, limit, at, at_end);
        if (parser.done()) break;
        const auto consumed = static_cast<std::size_t>(next - text);
        if (!seekable) parser.line_feeds_before_chunk += count_line_feeds(text, consumed);
        at += static_cast<std::int64_t>(consumed);
        std::memmove(text, next, filled - consumed);
        filled -= consumed;
    }
    AsciiOutcome outcome = parser.outcome();
    if (seekable && outcome.bad_value >= 0) {
        outcome.bad_value_line_feeds = count_line_feeds(in, section, outcome.bad_value, chunk);
    }
    return outcome;
}

}  // namespace vantrel
