// The "binary" data section written: packed records, a block at a time.
#pragma once

#include "pcd/bulk_memory.h"
#include "pcd/section_writer.h"

namespace vantrel {

// Writes the header at once (room kept for the counts when the total is not
// known), then the packed records of each piece: built a block at a time, or
// handed on whole when the sources already are the packed records.
// Allocates one block. Throws what the sink throws, std::bad_alloc.
class BinarySectionWriter final : public HeaderFirstWriter {
public:
    BinarySectionWriter(ByteSink& sink, const PcdHeader& header, bool total_known);
    void write(const std::vector<FieldSource>& sources, std::int64_t n, std::int64_t written) override;

private:
    BulkMemory block_;
};

}  // namespace vantrel
