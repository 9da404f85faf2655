// The "binary_compressed" data section written: the two little-endian 32-bit
// sizes, then the LZF stream of the field-major image (one plane per field,
// in header order).
#pragma once

#include <vector>

#include "pcd/bulk_memory.h"
#include "pcd/section_writer.h"

namespace vantrel {

// Throws std::invalid_argument("binary_compressed holds at most 4 GiB of point
// data; write binary instead") when an image of `image_bytes` bytes cannot be
// written: the format's sizes are 32 bits.
void check_compressed_image(std::int64_t image_bytes);

// Holds the pieces until finish(), which writes the header and the section:
// with the total known, in the image at each plane's place; without, each
// plane growing by doubling. The image is compressed in fixed blocks on the
// pool, so the bytes never depend on the number of threads. Allocates the
// image (or the planes) and its compressed form. Throws std::invalid_argument
// (check_compressed_image) before a piece that would pass 4 GiB,
// std::length_error when LZF cannot hold the image in 32 bits, what the sink
// throws, std::bad_alloc.
class CompressedSectionWriter final : public SectionWriter {
public:
    CompressedSectionWriter(ByteSink& sink, const PcdHeader& header, bool total_known);
    void write(const std::vector<FieldSource>& sources, std::int64_t n, std::int64_t written) override;
    void finish(const PcdHeader& header, std::int64_t written) override;

private:
    void write_into_image(const std::vector<FieldSource>& sources, std::int64_t n, std::int64_t written);
    void write_into_planes(const std::vector<FieldSource>& sources, std::int64_t n, std::int64_t written);

    ByteSink& sink_;
    PcdHeader header_;
    bool total_known_;
    BulkMemory image_;                // the field-major image
    std::vector<BulkMemory> planes_;  // total unknown: each plane as it grows
};

}  // namespace vantrel
