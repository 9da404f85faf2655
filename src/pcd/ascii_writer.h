// The "ascii" data section written: one point per line, values separated by
// one space: floats in the shortest form that reads back to the same bits
// ("nan", "inf", "-inf", "-0" included), integers in decimal.
#pragma once

#include <vector>

#include "pcd/bulk_memory.h"
#include "pcd/section_writer.h"

namespace vantrel {

// The formatter of one ascii value: writes it at out (room up to end).
using ValueFormatter = char* (*)(char* out, char* end, const std::uint8_t* value) noexcept;

// Writes the header at once (room kept for the counts when the total is not
// known), then each piece's lines in blocks of about a MiB: large pieces are
// formatted a round of blocks at a time on the pool and written in order, so
// the bytes never depend on the number of threads. Allocates the blocks.
// Throws what the sink throws, std::bad_alloc.
class AsciiSectionWriter final : public HeaderFirstWriter {
public:
    AsciiSectionWriter(ByteSink& sink, const PcdHeader& header, bool total_known);
    void write(const std::vector<FieldSource>& sources, std::int64_t n, std::int64_t written) override;

private:
    std::vector<ValueFormatter> formatters_;
    BulkMemory block_;
};

// Per field (in header order, one source each): how many values of the first
// n points ascii text does not keep bit for bit (NaNs with a payload), for
// warning before writing. Allocates the result only.
std::vector<std::int64_t> lossy_in_ascii(const PcdHeader& header, const std::vector<FieldSource>& sources,
                                         std::int64_t n);

}  // namespace vantrel
