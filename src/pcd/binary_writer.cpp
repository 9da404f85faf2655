#include "pcd/binary_writer.h"

#include <algorithm>

#include "pcd/interrupt.h"

namespace vantrel {
namespace {

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

}  // namespace

BinarySectionWriter::BinarySectionWriter(ByteSink& sink, const PcdHeader& header, bool total_known)
    : HeaderFirstWriter(sink, header, total_known, static_cast<std::uint64_t>(header.points * header.point_step)) {}

void BinarySectionWriter::write(const std::vector<FieldSource>& sources, std::int64_t n, std::int64_t) {
    const std::int64_t step = header_.point_step;
    if (step == 0) return;
    if (sources_are_records(header_, sources)) {
        const char* const records = reinterpret_cast<const char*>(sources.front().data - header_.fields.front().offset);
        in_pieces(n * step, [&](std::int64_t at, std::int64_t size) {
            sink_.write(records + at, static_cast<std::size_t>(size));
            return size;
        });
        return;
    }
    const std::int64_t rows = std::max<std::int64_t>(1, static_cast<std::int64_t>(block_bytes) / step);
    if (block_.size() < static_cast<std::size_t>(std::min(n, rows) * step)) {
        block_ = BulkMemory(static_cast<std::size_t>(rows * step), false);
    }
    for (std::int64_t first = 0; first < n; first += rows) {
        poll_interrupt();
        const std::int64_t m = std::min(rows, n - first);
        for (std::size_t f = 0; f < sources.size(); ++f) {
            gather(header_.fields[f], sources[f], first, m, block_.data() + header_.fields[f].offset, step);
        }
        sink_.write(reinterpret_cast<const char*>(block_.data()), static_cast<std::size_t>(m * step));
    }
}

}  // namespace vantrel
