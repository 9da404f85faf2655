#include "pcd/section_writer.h"

#include <string>

#include "pcd/ascii_writer.h"
#include "pcd/binary_writer.h"
#include "pcd/compressed_writer.h"
#include "pcd/strided_copy.h"

namespace vantrel {

void gather(const PcdField& field, const FieldSource& source, std::int64_t first, std::int64_t n, std::uint8_t* dst,
            std::int64_t step) noexcept {
    const std::uint8_t* src = source.data + first * source.point_stride;
    if (source.element_stride == field.size || field.count == 1) {  // a point's elements lie side by side
        copy_rows(src, source.point_stride, dst, step, field.bytes(), n);
        return;
    }
    for (std::int32_t k = 0; k < field.count; ++k) {
        copy_rows(src + k * source.element_stride, source.point_stride, dst + k * field.size, step, field.size, n);
    }
}

void write_header_first(ByteSink& sink, const PcdHeader& header, bool total_known, std::uint64_t data_bytes) {
    const std::string text = format_pcd_header(header, !total_known);
    if (total_known && data_bytes > 0) sink.expect(text.size() + data_bytes);
    sink.write(text.data(), text.size());
}

void write_counts_over(ByteSink& sink, const PcdHeader& header, bool total_known) {
    if (total_known) return;
    const std::string text = format_pcd_header(header, true);
    sink.rewrite(0, text.data(), text.size());
}

std::unique_ptr<SectionWriter> make_section_writer(ByteSink& sink, const PcdHeader& header, bool total_known) {
    switch (header.encoding) {
        case Encoding::ascii: return std::make_unique<AsciiSectionWriter>(sink, header, total_known);
        case Encoding::binary: return std::make_unique<BinarySectionWriter>(sink, header, total_known);
        case Encoding::binary_compressed: return std::make_unique<CompressedSectionWriter>(sink, header, total_known);
        case Encoding::other: break;
    }
    throw std::logic_error("a header planned for writing names no encoding");
}

}  // namespace vantrel
