#include "pcd/ascii_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "pcd/element_types.h"
#include "pcd/interrupt.h"
#include "pcd/thread_pool.h"

namespace vantrel {
namespace {

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

ValueFormatter formatter_for(const PcdField& field) noexcept {
    return with_element(element_type(field.type, field.size)->element,
                        [](auto zero) -> ValueFormatter { return format_value<decltype(zero)>; });
}

constexpr std::size_t longest_value = 32;  // "-1.7976931348623157e+308" and a separator fit

// Formats points [first, first + n) as lines at out. `after_value(out)` runs after each value
// (it may write out the text so far and move out back); without it, out must
// have room for all the lines. Returns the end of the text.
template <typename AfterValue>
char* format_lines(const PcdHeader& header, const std::vector<FieldSource>& sources, std::int64_t first, std::int64_t n,
                   const std::vector<ValueFormatter>& formatters, char* out, AfterValue after_value) {
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
                      const std::vector<ValueFormatter>& formatters, BulkMemory& buffer, ByteSink& sink) {
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
                 const std::vector<ValueFormatter>& formatters, BulkMemory& buffer, ByteSink& sink) {
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

AsciiSectionWriter::AsciiSectionWriter(ByteSink& sink, const PcdHeader& header, bool total_known)
    : HeaderFirstWriter(sink, header, total_known, 0) {
    for (const PcdField& field : header.fields) formatters_.push_back(formatter_for(field));
}

void AsciiSectionWriter::write(const std::vector<FieldSource>& sources, std::int64_t n, std::int64_t) {
    write_lines(header_, sources, n, formatters_, block_, sink_);
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

}  // namespace vantrel
