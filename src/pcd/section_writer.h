// The data section written a piece of the cloud at a time: one SectionWriter
// per encoding behind one interface, as SectionReader is on the read side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pcd/byte_sink.h"
#include "pcd/pcd_header.h"

namespace vantrel {

// One field's values in the caller's memory: element k of point i is the
// field's SIZE bytes at data + i * point_stride + k * element_stride, in
// native byte order. Strides may be any value, negative ones included.
struct FieldSource {
    const std::uint8_t* data = nullptr;
    std::int64_t point_stride = 0;
    std::int64_t element_stride = 0;
};

// Text and records go out in blocks of this many bytes, which stay in cache
// from packing to writing.
constexpr std::size_t block_bytes = std::size_t{1} << 20;

// Copies `n` points of one field from its source (starting at point `first`)
// to dst, one point every `step` bytes. Does not throw.
void gather(const PcdField& field, const FieldSource& source, std::int64_t first, std::int64_t n, std::uint8_t* dst,
            std::int64_t step) noexcept;

// The header of a section that follows it as it is written (binary and
// ascii): written at once, with room kept for the counts when they are not
// known (`data_bytes`, when known, is the sink's hint for what follows).
// Throws what the sink throws, std::bad_alloc.
void write_header_first(ByteSink& sink, const PcdHeader& header, bool total_known, std::uint64_t data_bytes = 0);

// Ends such a section: when the counts were not known, writes them over the
// room the header kept, through the sink's rewrite(). Throws as the sink.
void write_counts_over(ByteSink& sink, const PcdHeader& header, bool total_known);

class SectionWriter {
public:
    virtual ~SectionWriter() = default;
    // Appends n points (n > 0) after the `written` ones before, one source
    // per field in header order.
    virtual void write(const std::vector<FieldSource>& sources, std::int64_t n, std::int64_t written) = 0;
    // Ends the file under `header` (the planned one, or the same fields
    // planned for `written` points when the total was not known).
    virtual void finish(const PcdHeader& header, std::int64_t written) = 0;
};

// A section that follows its header as it is written (binary, ascii): the
// header goes out at once (write_header_first, `data_bytes` the sink's hint),
// and finish() writes the counts over it when they were not known.
class HeaderFirstWriter : public SectionWriter {
public:
    HeaderFirstWriter(ByteSink& sink, const PcdHeader& header, bool total_known, std::uint64_t data_bytes)
        : sink_(sink), header_(header), total_known_(total_known) {
        write_header_first(sink, header, total_known, data_bytes);
    }
    void finish(const PcdHeader& header, std::int64_t) override { write_counts_over(sink_, header, total_known_); }

protected:
    ByteSink& sink_;
    PcdHeader header_;
    bool total_known_;
};

// The writer of the encoding that header.encoding names (not other), which
// may write the header at once. Throws what the sink throws, std::bad_alloc.
std::unique_ptr<SectionWriter> make_section_writer(ByteSink& sink, const PcdHeader& header, bool total_known);

}  // namespace vantrel
