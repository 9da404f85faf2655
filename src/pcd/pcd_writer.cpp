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
#include "pcd/element_types.h"
#include "pcd/strided_copy.h"
#include "pcd/text.h"

namespace vantrel {
namespace {

constexpr std::size_t block_bytes = std::size_t{1} << 20;  // stays in cache from packing to writing

[[noreturn]] void refuse(const std::string& what) {
    throw std::invalid_argument(what);
}

std::int64_t plane_width(const PcdField& field) noexcept {
    return std::int64_t{field.size} * field.count;
}

// Copies `n` points of one field from its source (starting at point `first`)
// to dst, one point every `step` bytes.
void gather(const PcdField& field, const FieldSource& source, std::int64_t first, std::int64_t n, std::uint8_t* dst,
            std::int64_t step) noexcept {
    const std::uint8_t* src = source.data + first * source.point_stride;
    if (source.element_stride == field.size || field.count == 1) {  // a point's elements lie side by side
        copy_rows(src, source.point_stride, dst, step, plane_width(field), n);
        return;
    }
    for (std::int32_t k = 0; k < field.count; ++k) {
        copy_rows(src + k * source.element_stride, source.point_stride, dst + k * field.size, step, field.size, n);
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
    return with_element(element_type(field.type, field.size)->element,
                        [](auto zero) -> Formatter { return format_value<decltype(zero)>; });
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

std::int64_t check_write_fields(const std::vector<WriteField>& fields) {
    if (fields.empty()) refuse("nothing to write: a PCD file needs at least one field, or points");
    std::set<std::string> names;
    for (const WriteField& field : fields) {
        const std::string name = quoted(field.name);
        if (!is_writable_field_name(field.name)) {
            refuse("field name " + name + " is empty or holds whitespace or a control character");
        }
        if (!names.insert(field.name).second) {
            const bool by_points = std::any_of(fields.begin(), fields.end(), [&](const WriteField& f) {
                return f.coordinate && f.name == field.name;
            });
            refuse("field " + name + " is given twice" + (by_points ? ": as a field and by points" : ""));
        }
        if (!is_element_type(field.type, field.size)) refuse("field " + name + " has no PCD element type");
        if (field.count < 1) {
            refuse("field " + name + " has COUNT " + std::to_string(field.count) + "; it needs COUNT at least 1");
        }
        if (field.count > int32_max) refuse("field " + name + " has more than 2147483647 elements per point");
    }
    const WriteField& first = fields.front();
    for (const WriteField& field : fields) {
        if (field.points != first.points) {
            refuse("field " + quoted(field.name) + " has " + std::to_string(field.points) + " points, but " +
                   quoted(first.name) + " has " + std::to_string(first.points));
        }
    }
    return first.points;
}

PcdHeader plan_pcd_header(const std::vector<WriteField>& fields, std::int64_t points, const WriteOptions& options) {
    PcdHeader header;
    for (const WriteField& field : fields) {
        header.fields.push_back(PcdField{field.name, field.type, field.size, static_cast<std::int32_t>(field.count)});
    }
    if (points < 0) refuse("the number of points cannot be negative");
    if (points > int32_max) refuse("a PCD file holds at most 2147483647 points");
    header.points = static_cast<std::int32_t>(points);
    if (options.data != data_ascii && options.data != data_binary && options.data != data_binary_compressed) {
        refuse("data must be 'ascii', 'binary' or 'binary_compressed', not " + quoted(options.data));
    }
    header.data_type = options.data;
    header.width = header.points;
    header.height = 1;
    const auto side = [](const std::optional<std::int64_t>& value, const char* what) {
        if (value && (*value < 0 || *value > int32_max)) {
            refuse(std::string(what) + " must be between 0 and 2147483647");
        }
        return value ? std::optional<std::int32_t>(static_cast<std::int32_t>(*value)) : std::nullopt;
    };
    const std::optional<std::int32_t> width = side(options.width, "width");
    const std::optional<std::int32_t> height = side(options.height, "height");
    if (width || height) {
        header.width = width.value_or(header.points);
        header.height = height.value_or(1);
        // One of them given: the other follows from the points when it can.
        if (!width && *height > 0 && header.points % *height == 0) header.width = header.points / *height;
        if (!height && *width > 0 && header.points % *width == 0) header.height = header.points / *width;
    } else if (options.cloud_grid && std::int64_t{(*options.cloud_grid)[0]} * (*options.cloud_grid)[1] == points) {
        header.width = (*options.cloud_grid)[0];
        header.height = (*options.cloud_grid)[1];
    }
    if (std::int64_t{header.width} * header.height != header.points) {
        refuse("width x height (" + std::to_string(header.width) + " x " + std::to_string(header.height) +
               ") must equal the number of points (" + std::to_string(header.points) + ")");
    }
    if (options.viewpoint) {
        const std::vector<double>& values = *options.viewpoint;
        if (values.size() != header.viewpoint.size() ||
            !std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); })) {
            refuse("viewpoint must be 7 finite numbers (tx ty tz qw qx qy qz)");
        }
        std::copy(values.begin(), values.end(), header.viewpoint.begin());
    }
    lay_out_record(header);
    if (header.data_type == data_binary_compressed &&
        header.points * header.point_step > std::int64_t{std::numeric_limits<std::uint32_t>::max()}) {
        refuse("binary_compressed holds at most 4 GiB of point data; write binary instead");
    }
    return header;
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
