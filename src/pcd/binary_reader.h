// The "binary" data section: the record image as it stands in memory.
#pragma once

#include <cstdint>
#include <istream>

#include "pcd/bulk_memory.h"
#include "pcd/pcd_header.h"
#include "pcd/section_reader.h"

namespace vantrel {

// Reads records from the stream, which stands at the section's first byte
// and must outlive the reader. The file's own records (a whole placement)
// are read straight into the caller's memory in one request; chosen fields
// are read through a window of about a MiB and copied out. Bytes the stream
// does not supply (a file cut short) are zero; bytes beyond the last record
// are never read. On a stream that can seek, skip() and rewind() seek, and
// the points held in full are known from the file's size; otherwise skip()
// reads and drops, and a short read tells. Throws std::bad_alloc only.
class BinarySection : public SectionReader {
public:
    BinarySection(std::istream& in, const PcdHeader& header);

    void read(std::int64_t n, const Placement& placement, std::uint8_t* records, bool zeroed) override;
    void skip(std::int64_t n) override;
    bool rewind() override;

private:
    // Reads up to `bytes` from the stream; returns what came.
    std::int64_t take(std::uint8_t* dst, std::int64_t bytes);
    // Notes that the records before `point` were read and `held` bytes of
    // them came; reports a shortfall that a read of them met.
    void account(std::int64_t point, std::int64_t held_from_here, std::int64_t wanted);

    std::istream& in_;
    const PcdHeader& header_;
    std::istream::pos_type start_;  // the section's first byte, when the stream can tell
    bool seekable_;
    std::int64_t held_ = -1;  // points the section holds in full, once known
    std::int64_t bytes_ = 0;  // bytes of the section read or passed over
    BulkMemory window_;
};

}  // namespace vantrel
