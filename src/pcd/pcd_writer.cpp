#include "pcd/pcd_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>

#include <lzf.h>

#include "pcd/bulk_memory.h"

namespace vantrel {
namespace {

constexpr std::size_t block_bytes = std::size_t{1} << 20;  // stays in cache from packing to writing

[[noreturn]] void refuse(const std::string& what) {
    throw std::invalid_argument(what);
}

std::int64_t plane_width(const PcdField& field) noexcept {
    return std::int64_t{field.size} * field.count;
}

template <std::size_t W>
void gather_fixed(const std::uint8_t* src, std::int64_t stride, std::uint8_t* dst, std::int64_t step,
                  std::int64_t n) noexcept {
    for (std::int64_t i = 0; i < n; ++i, src += stride, dst += step) std::memcpy(dst, src, W);
}

// Copies `n` points of one field from its source (starting at point `first`)
// to dst, one point every `step` bytes.
void gather(const PcdField& field, const FieldSource& source, std::int64_t first, std::int64_t n, std::uint8_t* dst,
            std::int64_t step) noexcept {
    const std::uint8_t* src = source.data + first * source.point_stride;
    const std::int64_t width = plane_width(field);
    if (source.element_stride == field.size || field.count == 1) {  // a point's elements lie side by side
        switch (width) {
            case 1: return gather_fixed<1>(src, source.point_stride, dst, step, n);
            case 2: return gather_fixed<2>(src, source.point_stride, dst, step, n);
            case 4: return gather_fixed<4>(src, source.point_stride, dst, step, n);
            case 8: return gather_fixed<8>(src, source.point_stride, dst, step, n);
            default:
                for (std::int64_t i = 0; i < n; ++i, src += source.point_stride, dst += step) {
                    std::memcpy(dst, src, static_cast<std::size_t>(width));
                }
                return;
        }
    }
    const auto size = static_cast<std::size_t>(field.size);
    for (std::int64_t i = 0; i < n; ++i, src += source.point_stride, dst += step) {
        for (std::int32_t k = 0; k < field.count; ++k)
            std::memcpy(dst + k * field.size, src + k * source.element_stride, size);
    }
}

// True when the sources are the packed records themselves, one after another.
bool sources_are_records(const PcdHeader& header, const std::vector<FieldSource>& sources) noexcept {
    const std::uint8_t* base = sources.front().data - header.fields.front().offset;
    for (std::size_t f = 0; f < sources.size(); ++f) {
        const PcdField& field = header.fields[f];
        const FieldSource& source = sources[f];
        if (source.data != base + field.offset || source.point_stride != header.point_step) return false;
        if (field.count > 1 && source.element_stride != field.size) return false;
    }
    return true;
}

void write_binary(const PcdHeader& header, const std::vector<FieldSource>& sources, ByteSink& sink) {
    const std::int64_t step = header.point_step;
    const std::int64_t points = header.points;
    if (points == 0 || step == 0) return;
    if (sources_are_records(header, sources)) {
        sink.write(reinterpret_cast<const char*>(sources.front().data - header.fields.front().offset),
                   static_cast<std::size_t>(points * step));
        return;
    }
    const std::int64_t block = std::max<std::int64_t>(1, static_cast<std::int64_t>(block_bytes) / step);
    BulkMemory records(static_cast<std::size_t>(std::min(points, block) * step), false);
    for (std::int64_t first = 0; first < points; first += block) {
        const std::int64_t n = std::min(block, points - first);
        for (std::size_t f = 0; f < sources.size(); ++f) {
            gather(header.fields[f], sources[f], first, n, records.data() + header.fields[f].offset, step);
        }
        sink.write(reinterpret_cast<const char*>(records.data()), static_cast<std::size_t>(n * step));
    }
}

void put_u32_le(char* out, std::uint32_t value) noexcept {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

void write_compressed(const std::string& text, const PcdHeader& header, const std::vector<FieldSource>& sources,
                      ByteSink& sink) {
    const std::int64_t points = header.points;
    const std::int64_t image_size = points * header.point_step;  // packed records: the planes add up to it
    char sizes[8];
    if (image_size == 0) {
        put_u32_le(sizes, 0);
        put_u32_le(sizes + 4, 0);
        sink.write(text.data(), text.size());
        sink.write(sizes, sizeof sizes);
        return;
    }
    BulkMemory image(static_cast<std::size_t>(image_size), false);
    std::uint8_t* plane = image.data();
    for (std::size_t f = 0; f < sources.size(); ++f) {
        const std::int64_t width = plane_width(header.fields[f]);
        gather(header.fields[f], sources[f], 0, points, plane, width);
        plane += points * width;
    }
    // LZF never grows its input by more than 4 %; data that does not shrink
    // is stored as literal runs, which every reader decodes alike.
    const std::uint64_t room = std::min<std::uint64_t>(std::numeric_limits<unsigned int>::max(),
                                                       static_cast<std::uint64_t>(image_size + image_size / 16 + 64));
    BulkMemory payload(static_cast<std::size_t>(room), false);
    const unsigned int compressed = lzf_compress(image.data(), static_cast<unsigned int>(image_size), payload.data(),
                                                 static_cast<unsigned int>(room));
    if (compressed == 0) throw std::length_error("the compressed data does not fit the format's 32-bit sizes");
    put_u32_le(sizes, compressed);
    put_u32_le(sizes + 4, static_cast<std::uint32_t>(image_size));
    sink.expect(text.size() + sizeof sizes + compressed);
    sink.write(text.data(), text.size());
    sink.write(sizes, sizeof sizes);
    sink.write(reinterpret_cast<const char*>(payload.data()), compressed);
}

template <typename T>
char* format_value(char* out, char* end, const std::uint8_t* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof value);
    return std::to_chars(out, end, value).ptr;  // shortest exact form; nan, inf and -0 spelt out
}

using Formatter = char* (*)(char*, char*, const std::uint8_t*) noexcept;

Formatter formatter_for(const PcdField& field) noexcept {
    switch (field.type) {
        case 'F': return field.size == 4 ? format_value<float> : format_value<double>;
        case 'I':
            switch (field.size) {
                case 1: return format_value<std::int8_t>;
                case 2: return format_value<std::int16_t>;
                case 4: return format_value<std::int32_t>;
                default: return format_value<std::int64_t>;
            }
        default:
            switch (field.size) {
                case 1: return format_value<std::uint8_t>;
                case 2: return format_value<std::uint16_t>;
                case 4: return format_value<std::uint32_t>;
                default: return format_value<std::uint64_t>;
            }
    }
}

void write_ascii(const PcdHeader& header, const std::vector<FieldSource>& sources, ByteSink& sink) {
    constexpr std::size_t longest_value = 32;  // "-1.7976931348623157e+308" and a separator fit
    std::vector<Formatter> formatters;
    for (const PcdField& field : header.fields) formatters.push_back(formatter_for(field));
    BulkMemory buffer(block_bytes + longest_value, false);
    char* const start = reinterpret_cast<char*>(buffer.data());
    char* const flush_at = start + block_bytes;
    char* const end = flush_at + longest_value;
    char* out = start;
    const auto flush_when_full = [&] {
        if (out < flush_at) return;
        sink.write(start, static_cast<std::size_t>(out - start));
        out = start;
    };
    for (std::int64_t i = 0; i < header.points; ++i) {
        bool first = true;
        for (std::size_t f = 0; f < sources.size(); ++f) {
            const std::uint8_t* point = sources[f].data + i * sources[f].point_stride;
            for (std::int32_t k = 0; k < header.fields[f].count; ++k) {
                if (!first) *out++ = ' ';
                first = false;
                out = formatters[f](out, end, point + k * sources[f].element_stride);
                flush_when_full();
            }
        }
        *out++ = '\n';
        flush_when_full();
    }
    if (out != start) sink.write(start, static_cast<std::size_t>(out - start));
}

}  // namespace

void prepare_pcd_header(PcdHeader& header) {
    if (header.fields.empty()) refuse("a PCD file needs at least one field");
    std::set<std::string> names;
    for (const PcdField& field : header.fields) {
        if (!is_writable_field_name(field.name)) {
            refuse("field name '" + field.name + "' is empty or holds whitespace or a control character");
        }
        if (!names.insert(field.name).second) refuse("field name '" + field.name + "' is given twice");
        if (!is_element_type(field.type, field.size)) refuse("field '" + field.name + "' has no PCD element type");
        if (field.count < 1) refuse("field '" + field.name + "' needs a COUNT of 1 or more");
    }
    if (header.points < 0) refuse("POINTS cannot be negative");
    if (std::int64_t{header.width} * header.height != header.points) {
        refuse("WIDTH x HEIGHT (" + std::to_string(header.width) + " x " + std::to_string(header.height) +
               ") must equal the number of points (" + std::to_string(header.points) + ")");
    }
    for (const double value : header.viewpoint) {
        if (!std::isfinite(value)) refuse("VIEWPOINT needs 7 finite numbers");
    }
    if (header.data_type != data_ascii && header.data_type != data_binary &&
        header.data_type != data_binary_compressed) {
        refuse("DATA must be ascii, binary or binary_compressed, not '" + header.data_type + "'");
    }
    lay_out_record(header);
    if (header.data_type == data_binary_compressed &&
        header.points * header.point_step > std::int64_t{std::numeric_limits<std::uint32_t>::max()}) {
        refuse("binary_compressed holds at most 4 GiB of point data; write binary instead");
    }
}

void write_pcd(const PcdHeader& header, const std::vector<FieldSource>& sources, ByteSink& sink) {
    const std::string text = format_pcd_header(header);
    if (header.data_type == data_binary) {
        sink.expect(text.size() + static_cast<std::uint64_t>(header.points * header.point_step));
        sink.write(text.data(), text.size());
        write_binary(header, sources, sink);
    } else if (header.data_type == data_binary_compressed) {
        write_compressed(text, header, sources, sink);
    } else {
        sink.write(text.data(), text.size());
        write_ascii(header, sources, sink);
    }
}

}  // namespace vantrel
