// The values of ascii text: the columns a record's values go to, their
// parses (fast_float for floats, std::from_chars for integers) and the stores
// that write them into records, never outside them. The hot loops of the
// ascii reader, inlined where they are used. No function allocates or throws.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include <fast_float/fast_float.h>

#include "pcd/element_types.h"
#include "pcd/pcd_header.h"

namespace vantrel::ascii {

enum class Parse : std::uint8_t { f32, f64, i64, u64, none };

// The value slots of one field: `count` elements `size` bytes apart. The
// elements of a field follow one another in the text, so one entry per field
// keeps the list as short as the FIELDS line, whatever COUNT claims.
struct Column {
    std::int64_t offset;  // of the first element inside the record filled
    std::int32_t size;
    std::int32_t count;
    Parse parse;         // chosen by the TYPE letter and SIZE
    std::uint8_t width;  // bytes of the parsed value that a store writes
    bool inside;         // every element stores all `width` bytes inside the record
    bool keep;           // stored at all
    std::int32_t field;  // in header.fields
};

inline Parse parse_of(const PcdField& field) noexcept {
    switch (field.type) {
        case type_float: return field.size == 4 ? Parse::f32 : Parse::f64;
        case type_signed: return Parse::i64;
        case type_unsigned: return Parse::u64;
        default: return Parse::none;
    }
}

// Columns of other TYPE letters take nothing from the text, nor do fields
// without elements.
inline bool in_text(const PcdField& field) noexcept {
    return field.count >= 1 && parse_of(field) != Parse::none;
}

// Where a record first failed to read a value: the byte, and the field and
// element that tried it.
struct Miss {
    const char* at = nullptr;
    std::int32_t field = -1;
    std::int32_t element = 0;
};

inline Column make_column(const PcdField& field, std::int32_t index, std::int64_t offset, std::int64_t step,
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
inline void clear_values(std::uint8_t* rows, std::int64_t step, const std::vector<Column>& columns,
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
[[gnu::cold, gnu::noinline]] inline bool parses(Parse parse, const char* p, const char* last) noexcept {
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

// Reads the elements of one column from `p`. A value that no parse accepts
// stays under the read position: the column's remaining elements would fail
// on the same byte and keep their zeros, so the column ends there. The first
// position where an element could not be read (a byte no parse takes, or the
// end of the text) goes to `miss` unless one is there already.
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

}  // namespace vantrel::ascii
