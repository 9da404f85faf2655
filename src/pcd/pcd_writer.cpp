#include "pcd/pcd_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>

#include <lzf.h>

#include "pcd/bulk_memory.h"
#include "pcd/element_types.h"
#include "pcd/interrupt.h"
#include "pcd/strided_copy.h"
#include "pcd/text.h"
#include "pcd/thread_pool.h"

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

// Writes n packed records from the sources, a block at a time, or the
// sources themselves when they already are the packed records.
void write_records(const PcdHeader& header, const std::vector<FieldSource>& sources, std::int64_t n, BulkMemory& block,
                   ByteSink& sink) {
    const std::int64_t step = header.point_step;
    if (n == 0 || step == 0) return;
    if (sources_are_records(header, sources)) {
        const char* const records = reinterpret_cast<const char*>(sources.front().data - header.fields.front().offset);
        in_pieces(n * step, [&](std::int64_t at, std::int64_t size) {
            sink.write(records + at, static_cast<std::size_t>(size));
            return size;
        });
        return;
    }
    const std::int64_t rows = std::max<std::int64_t>(1, static_cast<std::int64_t>(block_bytes) / step);
    if (block.size() < static_cast<std::size_t>(std::min(n, rows) * step)) {
        block = BulkMemory(static_cast<std::size_t>(rows * step), false);
    }
    for (std::int64_t first = 0; first < n; first += rows) {
        poll_interrupt();
        const std::int64_t m = std::min(rows, n - first);
        for (std::size_t f = 0; f < sources.size(); ++f) {
            gather(header.fields[f], sources[f], first, m, block.data() + header.fields[f].offset, step);
        }
        sink.write(reinterpret_cast<const char*>(block.data()), static_cast<std::size_t>(m * step));
    }
}

void put_u32_le(char* out, std::uint32_t value) noexcept {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// The image is compressed in blocks of this many bytes, each on its own: LZF's
// back-references never reach before a block's start, so the blocks' streams
// put one after another are one stream that decodes to the image. The size
// is fixed, so the bytes never depend on how many threads compress them.
constexpr std::int64_t compress_block = std::int64_t{1} << 20;

// The section of an image: the two sizes, then its LZF stream.
void write_compressed(const std::string& text, const std::uint8_t* image, std::int64_t image_size, ByteSink& sink) {
    char sizes[8];
    if (image_size == 0) {
        put_u32_le(sizes, 0);
        put_u32_le(sizes + 4, 0);
        sink.write(text.data(), text.size());
        sink.write(sizes, sizeof sizes);
        return;
    }
    const auto blocks = static_cast<std::size_t>((image_size + compress_block - 1) / compress_block);
    std::vector<BulkMemory> streams(blocks);
    std::vector<unsigned int> lengths(blocks, 0);
    const auto compress = [&](std::size_t b) {
        const std::int64_t first = static_cast<std::int64_t>(b) * compress_block;
        const auto size = static_cast<unsigned int>(std::min(compress_block, image_size - first));
        // LZF never grows its input by more than 4 %; data that does not
        // shrink is stored as literal runs, which every reader decodes alike.
        const unsigned int room = size + size / 16 + 64;
        streams[b] = BulkMemory(room, false);
        lengths[b] = lzf_compress(image + first, size, streams[b].data(), room);
    };
    ThreadPool& pool = ThreadPool::shared();
    pool.run(blocks, compress, pool.worth_sharing(image_size) ? 0 : 1);
    std::uint64_t compressed = 0;
    for (const unsigned int length : lengths) compressed += length;
    if (compressed > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("the compressed data does not fit the format's 32-bit sizes");
    }
    put_u32_le(sizes, static_cast<std::uint32_t>(compressed));
    put_u32_le(sizes + 4, static_cast<std::uint32_t>(image_size));
    sink.expect(text.size() + sizeof sizes + compressed);
    sink.write(text.data(), text.size());
    sink.write(sizes, sizeof sizes);
    for (std::size_t b = 0; b < blocks; ++b) sink.write(reinterpret_cast<const char*>(streams[b].data()), lengths[b]);
}

// A float whose bits text cannot keep: a NaN other than the two plain quiet ones.
template <typename T>
bool loses_bits(T value) noexcept {
    if (!std::isnan(value)) return false;
    if constexpr (sizeof(T) == 4) {
        std::uint32_t bits;
        std::memcpy(&bits, &value, 4);
        return bits != 0x7FC00000u && bits != 0xFFC00000u;
    } else {
        std::uint64_t bits;
        std::memcpy(&bits, &value, 8);
        return bits != 0x7FF8000000000000ull && bits != 0xFFF8000000000000ull;
    }
}

template <typename T>
char* format_value(char* out, char* end, const std::uint8_t* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof value);
    return std::to_chars(out, end, value).ptr;  // shortest exact form; nan, inf and -0 spelt out
}

using Formatter = ValueFormatter;

template <typename T>
std::int64_t count_lossy(const PcdField& field, const FieldSource& source, std::int64_t n) noexcept {
    std::int64_t lossy = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        for (std::int32_t k = 0; k < field.count; ++k) {
            T value;
            std::memcpy(&value, source.data + i * source.point_stride + k * source.element_stride, sizeof value);
            lossy += loses_bits(value);
        }
    }
    return lossy;
}

Formatter formatter_for(const PcdField& field) noexcept {
    return with_element(element_type(field.type, field.size)->element,
                        [](auto zero) -> Formatter { return format_value<decltype(zero)>; });
}

constexpr std::size_t longest_value = 32;  // "-1.7976931348623157e+308" and a separator fit

// Formats points [first, first + n) as lines at out. `after_value(out)` runs after each value
// (it may write out the text so far and move out back); without it, out must
// have room for all the lines. Returns the end of the text.
template <typename AfterValue>
char* format_lines(const PcdHeader& header, const std::vector<FieldSource>& sources, std::int64_t first, std::int64_t n,
                   const std::vector<Formatter>& formatters, char* out, AfterValue after_value) {
    for (std::int64_t i = first; i < first + n; ++i) {
        bool first_value = true;
        for (std::size_t f = 0; f < sources.size(); ++f) {
            const std::uint8_t* point = sources[f].data + i * sources[f].point_stride;
            for (std::int32_t k = 0; k < header.fields[f].count; ++k) {
                if (!first_value) *out++ = ' ';
                first_value = false;
                out = formatters[f](out, out + longest_value, point + k * sources[f].element_stride);
                after_value(out);
            }
        }
        *out++ = '\n';
    }
    return out;
}

// Writes n points whose lines may each be longer than a block: the text goes
// out whenever a block is full.
void write_long_lines(const PcdHeader& header, const std::vector<FieldSource>& sources, std::int64_t n,
                      const std::vector<Formatter>& formatters, BulkMemory& buffer, ByteSink& sink) {
    if (buffer.size() < block_bytes + longest_value) buffer = BulkMemory(block_bytes + longest_value, false);
    char* const start = reinterpret_cast<char*>(buffer.data());
    char* const flush_at = start + block_bytes;
    const char* const end = format_lines(header, sources, 0, n, formatters, start, [&](char*& out) {
        if (out < flush_at) return;
        poll_interrupt();
        sink.write(start, static_cast<std::size_t>(out - start));
        out = start;
    });
    if (end != start) sink.write(start, static_cast<std::size_t>(end - start));
}

// Writes n points as lines of text, in blocks of about a MiB. Large texts are formatted a
// round of blocks at a time on the pool and written in order, so the bytes
// are the same whatever the number of threads.
void write_lines(const PcdHeader& header, const std::vector<FieldSource>& sources, std::int64_t n,
                 const std::vector<Formatter>& formatters, BulkMemory& buffer, ByteSink& sink) {
    std::int64_t elements = 0;
    for (const PcdField& field : header.fields) elements += field.count;
    const std::int64_t line_room = elements * static_cast<std::int64_t>(longest_value) + 1;
    if (line_room > static_cast<std::int64_t>(block_bytes)) {
        write_long_lines(header, sources, n, formatters, buffer, sink);
        return;
    }
    const std::int64_t per_block = std::max<std::int64_t>(1, static_cast<std::int64_t>(block_bytes) / line_room);
    ThreadPool& pool = ThreadPool::shared();
    const std::size_t slots = pool.worth_sharing(n * elements * 8) ? static_cast<std::size_t>(pool.threads()) * 2 : 1;
    const auto room = static_cast<std::size_t>(per_block * line_room);
    if (buffer.size() < room * slots) buffer = BulkMemory(room * slots, false);
    std::vector<char*> ends(slots);
    for (std::int64_t first = 0; first < n;) {
        const std::int64_t round = std::min<std::int64_t>(n - first, per_block * static_cast<std::int64_t>(slots));
        const auto blocks = static_cast<std::size_t>((round + per_block - 1) / per_block);
        const auto format = [&](std::size_t b) {
            char* const text = reinterpret_cast<char*>(buffer.data()) + b * room;
            const std::int64_t from = first + static_cast<std::int64_t>(b) * per_block;
            ends[b] = format_lines(header, sources, from, std::min(per_block, first + round - from), formatters, text,
                                   [](char*) {});
        };
        pool.run(blocks, format);
        for (std::size_t b = 0; b < blocks; ++b) {
            char* const text = reinterpret_cast<char*>(buffer.data()) + b * room;
            sink.write(text, static_cast<std::size_t>(ends[b] - text));
        }
        first += round;
    }
}

}  // namespace

std::int64_t check_write_fields(const std::vector<WriteField>& fields) {
    if (fields.empty()) refuse("nothing to write: a PCD file needs at least one field, or points");
    std::set<std::string> names;
    for (const WriteField& field : fields) {
        const std::string name = vantrel::quoted(field.name);
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
            refuse("field " + vantrel::quoted(field.name) + " has " + std::to_string(field.points) + " points, but " +
                   vantrel::quoted(first.name) + " has " + std::to_string(first.points));
        }
    }
    return first.points;
}

namespace {

void check_points(std::int64_t points) {
    if (points < 0) refuse("the number of points cannot be negative");
    if (points > int32_max) refuse("a PCD file holds at most 2147483647 points");
}

void check_data(const std::string& data) {
    if (data != data_ascii && data != data_binary && data != data_binary_compressed) {
        refuse("data must be 'ascii', 'binary' or 'binary_compressed', not " + vantrel::quoted(data));
    }
}

std::optional<std::int32_t> grid_side(const std::optional<std::int64_t>& value, const char* what) {
    if (value && (*value < 0 || *value > int32_max)) refuse(std::string(what) + " must be between 0 and 2147483647");
    return value ? std::optional<std::int32_t>(static_cast<std::int32_t>(*value)) : std::nullopt;
}

// WIDTH and HEIGHT for `points` points: as given (one of them given, the
// other follows when it can), else the cloud's own grid when it holds them,
// else points x 1.
std::array<std::int32_t, 2> grid_for(const WriteOptions& options, std::int64_t points) {
    const auto n = static_cast<std::int32_t>(points);
    const std::optional<std::int32_t> width = grid_side(options.width, "width");
    const std::optional<std::int32_t> height = grid_side(options.height, "height");
    std::array<std::int32_t, 2> grid = {n, 1};
    if (width || height) {
        grid = {width.value_or(n), height.value_or(1)};
        if (!width && *height > 0 && n % *height == 0) grid[0] = n / *height;
        if (!height && *width > 0 && n % *width == 0) grid[1] = n / *width;
    } else if (options.cloud_grid && std::int64_t{(*options.cloud_grid)[0]} * (*options.cloud_grid)[1] == points) {
        grid = *options.cloud_grid;
    }
    if (std::int64_t{grid[0]} * grid[1] != points) {
        refuse("width x height (" + std::to_string(grid[0]) + " x " + std::to_string(grid[1]) +
               ") must equal the number of points (" + std::to_string(points) + ")");
    }
    return grid;
}

std::array<double, 7> viewpoint_of(const WriteOptions& options) {
    std::array<double, 7> viewpoint = default_viewpoint;
    if (options.viewpoint) {
        const std::vector<double>& values = *options.viewpoint;
        if (values.size() != viewpoint.size() ||
            !std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); })) {
            refuse("viewpoint must be 7 finite numbers (tx ty tz qw qx qy qz)");
        }
        std::copy(values.begin(), values.end(), viewpoint.begin());
    }
    return viewpoint;
}

}  // namespace

void check_write_options(const WriteOptions& options, std::optional<std::int64_t> points) {
    if (points) check_points(*points);
    check_data(options.data);
    grid_side(options.width, "width");
    grid_side(options.height, "height");
    if (points) grid_for(options, *points);
    viewpoint_of(options);
}

PcdHeader plan_pcd_header(const std::vector<WriteField>& fields, std::int64_t points, const WriteOptions& options) {
    PcdHeader header;
    for (const WriteField& field : fields) {
        header.fields.push_back(PcdField{field.name, field.type, field.size, static_cast<std::int32_t>(field.count)});
    }
    check_points(points);
    header.points = static_cast<std::int32_t>(points);
    check_data(options.data);
    header.data_type = options.data;
    const std::array<std::int32_t, 2> grid = grid_for(options, points);
    header.width = grid[0];
    header.height = grid[1];
    header.viewpoint = viewpoint_of(options);
    lay_out_record(header);
    if (header.data_type == data_binary_compressed &&
        header.points * header.point_step > std::int64_t{std::numeric_limits<std::uint32_t>::max()}) {
        refuse("binary_compressed holds at most 4 GiB of point data; write binary instead");
    }
    return header;
}

PcdWriter::PcdWriter(ByteSink& sink, const PcdHeader& header, bool total_known)
    : sink_(sink), header_(header), total_known_(total_known) {
    if (header.data_type == data_binary_compressed) {
        if (total_known) image_ = BulkMemory(static_cast<std::size_t>(header.points * header.point_step), false);
        planes_.resize(header.fields.size());
        return;  // the header goes with the payload, at finish()
    }
    if (header.data_type == data_ascii) {
        for (const PcdField& field : header.fields) formatters_.push_back(formatter_for(field));
    }
    const std::string text = format_pcd_header(header, !total_known);
    if (total_known && header.data_type == data_binary) {
        sink.expect(text.size() + static_cast<std::uint64_t>(header.points * header.point_step));
    }
    sink.write(text.data(), text.size());
}

PcdWriter::~PcdWriter() = default;

void PcdWriter::write(const std::vector<FieldSource>& sources, std::int64_t n) {
    if (n <= 0) return;
    const std::int64_t step = header_.point_step;
    if (header_.data_type == data_binary) {
        write_records(header_, sources, n, block_, sink_);
    } else if (header_.data_type == data_ascii) {
        write_lines(header_, sources, n, formatters_, block_, sink_);
    } else if (total_known_) {  // into the image at each plane's place, a run of points per task
        std::vector<std::uint8_t*> planes;
        std::uint8_t* plane = image_.data();
        for (std::size_t f = 0; f < sources.size(); ++f) {
            planes.push_back(plane);
            plane += header_.points * plane_width(header_.fields[f]);
        }
        constexpr std::int64_t run = std::int64_t{1} << 18;
        const std::int64_t runs = (n + run - 1) / run;
        const auto task = [&](std::size_t t) {
            const std::size_t f = t % sources.size();
            const std::int64_t first = static_cast<std::int64_t>(t / sources.size()) * run;
            const std::int64_t width = plane_width(header_.fields[f]);
            gather(header_.fields[f], sources[f], first, std::min(run, n - first),
                   planes[f] + (written_ + first) * width, width);
        };
        const auto tasks = static_cast<std::size_t>(runs) * sources.size();
        ThreadPool& pool = ThreadPool::shared();
        pool.run(tasks, task, pool.worth_sharing(n * step) ? 0 : 1);
    } else {
        if ((written_ + n) * step > std::int64_t{std::numeric_limits<std::uint32_t>::max()}) {
            refuse("binary_compressed holds at most 4 GiB of point data; write binary instead");
        }
        for (std::size_t f = 0; f < sources.size(); ++f) {
            const std::int64_t width = plane_width(header_.fields[f]);
            BulkMemory& plane = planes_[f];
            const auto needed = static_cast<std::size_t>((written_ + n) * width);
            if (plane.size() < needed) {  // grows by doubling: each byte moves about once
                BulkMemory grown(std::max(needed, plane.size() * 2), false);
                if (written_ > 0) std::memcpy(grown.data(), plane.data(), static_cast<std::size_t>(written_ * width));
                plane = std::move(grown);
            }
            gather(header_.fields[f], sources[f], 0, n, plane.data() + written_ * width, width);
        }
    }
    written_ += n;
}

void PcdWriter::finish(const PcdHeader& header) {
    if (header.data_type == data_binary_compressed) {
        const std::int64_t image_size = written_ * header.point_step;
        if (!total_known_ && image_size > 0) {  // the planes, one after another
            image_ = BulkMemory(static_cast<std::size_t>(image_size), false);
            std::uint8_t* at = image_.data();
            for (std::size_t f = 0; f < planes_.size(); ++f) {
                const std::int64_t bytes = written_ * plane_width(header.fields[f]);
                std::memcpy(at, planes_[f].data(), static_cast<std::size_t>(bytes));
                at += bytes;
                planes_[f] = BulkMemory();
            }
        }
        write_compressed(format_pcd_header(header), image_.data(), image_size, sink_);
        return;
    }
    // The counts were not known: they go over the room the header kept.
    if (!total_known_) {
        const std::string text = format_pcd_header(header, true);
        sink_.rewrite(0, text.data(), text.size());
    }
}

std::vector<std::int64_t> lossy_in_ascii(const PcdHeader& header, const std::vector<FieldSource>& sources,
                                         std::int64_t n) {
    std::vector<std::int64_t> lossy(header.fields.size(), 0);
    for (std::size_t f = 0; f < header.fields.size(); ++f) {
        const PcdField& field = header.fields[f];
        if (field.type != type_float) continue;
        lossy[f] =
            field.size == 4 ? count_lossy<float>(field, sources[f], n) : count_lossy<double>(field, sources[f], n);
    }
    return lossy;
}

void write_pcd(const PcdHeader& header, const std::vector<FieldSource>& sources, ByteSink& sink) {
    PcdWriter writer(sink, header, true);
    writer.write(sources, header.points);
    writer.finish(header);
}

}  // namespace vantrel
