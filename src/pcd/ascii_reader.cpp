#include "pcd/ascii_reader.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include <fast_float/fast_float.h>

namespace vantrel {
namespace {

enum class Parse : std::uint8_t { f32, f64, i64, u64, none };

// One value slot of a point record, with the window of the parsed value's
// bytes that lands inside the column's SIZE bytes and inside the record.
struct AsciiColumn {
    std::int64_t offset;
    char type;
    std::int32_t size;
    Parse parse;
    std::uint8_t first;  // first byte of the parsed value that is stored
    std::uint8_t len;    // bytes stored from there; 0 stores nothing
};

AsciiColumn make_column(const PcdField& field, std::int64_t offset, std::int64_t point_step) {
    AsciiColumn column{offset, field.type, field.size, Parse::none, 0, 0};
    std::int64_t width = 8;
    switch (field.type) {
        case 'F':
            column.parse = field.size == 4 ? Parse::f32 : Parse::f64;
            width = field.size == 4 ? 4 : 8;
            break;
        case 'I':
        case 'U':
            column.parse = field.type == 'I' ? Parse::i64 : Parse::u64;
            if (field.size == 1 || field.size == 2 || field.size == 4) width = field.size;
            break;
        default:
            return column;
    }
    const std::int64_t lo = std::max<std::int64_t>(0, -offset);
    const std::int64_t hi = std::min({width, std::int64_t{field.size}, point_step - offset});
    if (hi > lo) {
        column.first = static_cast<std::uint8_t>(lo);
        column.len = static_cast<std::uint8_t>(hi - lo);
    }
    return column;
}

// Writes the value's little-endian bytes [first, first + len) to their place.
template <typename T>
inline void store(std::uint8_t* row, const AsciiColumn& column, T value) noexcept {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8, "parsed values are 4 or 8 bytes");
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    if (column.first == 0) {
        if (column.len == sizeof(T)) {
            std::memcpy(row + column.offset, bytes, sizeof(T));
            return;
        }
        switch (column.len) {
            case 4: std::memcpy(row + column.offset, bytes, 4); return;
            case 2: std::memcpy(row + column.offset, bytes, 2); return;
            case 1: std::memcpy(row + column.offset, bytes, 1); return;
            default: break;
        }
    }
    if (column.len == 0) return;
    std::memcpy(row + (column.offset + column.first), bytes + column.first, column.len);
}

}  // namespace

void read_ascii_data(const char* first, const char* last, const std::vector<PcdField>& fields,
                     std::int32_t points, std::int64_t point_step, std::uint8_t* buffer) {
    std::vector<AsciiColumn> columns;
    columns.reserve(fields.size());
    for (const PcdField& field : fields) {
        for (std::int32_t k = 0; k < field.count; ++k) {
            columns.push_back(make_column(field, field.offset + std::int64_t{k} * field.size, point_step));
        }
    }
    if (points < 1 || columns.empty()) return;

    const char* p = first;
    std::uint8_t* row = buffer;
    for (std::int32_t r = 0; r < points; ++r, row += point_step) {
        const char* const record_start = p;
        for (const AsciiColumn& column : columns) {
            while (p != last && static_cast<unsigned char>(*p) <= 32) ++p;
            // Once the text is used up every later value keeps its zero.
            if (p == last) return;
            switch (column.parse) {
                case Parse::f32: {
                    float value = 0;
                    p = fast_float::from_chars(p, last, value).ptr;
                    store(row, column, value);
                    break;
                }
                case Parse::f64: {
                    double value = 0;
                    p = fast_float::from_chars(p, last, value).ptr;
                    store(row, column, value);
                    break;
                }
                case Parse::i64: {
                    std::int64_t value = 0;
                    p = std::from_chars(p, last, value).ptr;
                    store(row, column, value);
                    break;
                }
                case Parse::u64: {
                    std::uint64_t value = 0;
                    p = std::from_chars(p, last, value).ptr;
                    store(row, column, value);
                    break;
                }
                case Parse::none:
                    break;
            }
        }
        // A record that read nothing stored nothing, and every later record
        // would start from the same byte and do the same.
        if (p == record_start) return;
    }
}

}  // namespace vantrel
