// The "ascii" data section: one flat stream of decimal values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <vector>

#include "pcd/ascii_input.h"
#include "pcd/data_report.h"
#include "pcd/pcd_header.h"
#include "pcd/section_reader.h"

namespace vantrel {

namespace ascii {
struct Column;  // ascii_values.h, which brings fast_float: the reader's own
}  // namespace ascii

// Parses the section from the stream's position (which must outlive the
// reader), value after value: fields in header order, a field's COUNT
// elements one after another; every byte <= 32 separates values, line ends
// included. A value that cannot be read is 0 and stays under the read
// position for the next column to try; once no column can read it, every
// later value is 0. Each store is clipped to its column's own SIZE bytes and
// to its record, so no header makes it write outside the records. Fields that
// the placement does not keep are parsed all the same and stored nowhere. The
// text is read front to back in chunks of `chunk_size` bytes (grown for a
// record that does not fit), parsed as they arrive (on the pool, the next
// chunk is read while workers parse this one); the result does not
// depend on the chunk size, nor on how the points are split between reads.
// The report's line number of an unreadable value comes from reading a
// seekable stream again up to it (and back); other streams count line feeds
// as they go. rewind() needs a stream that can seek. Throws std::bad_alloc.
class AsciiSection : public SectionReader {
public:
    AsciiSection(std::istream& in, const PcdHeader& header, std::size_t chunk_size = ascii_chunk_size);
    ~AsciiSection() override;

    void read(std::int64_t n, const Placement& placement, std::uint8_t* records, bool zeroed) override;
    void skip(std::int64_t n) override;
    bool rewind() override;

    // Where a run of records goes: record i at rows + (i - first) * step, or
    // nowhere when rows is null.
    struct Rows {
        std::uint8_t* rows = nullptr;
        std::int64_t first = 0;
        std::int64_t step = 0;

        std::uint8_t* row(std::int64_t i) const noexcept { return rows ? rows + (i - first) * step : nullptr; }
    };

private:
    // Parses the next n records, stored by the placement (or nowhere).
    void run(std::int64_t n, const Placement* placement, std::uint8_t* records);
    bool set_columns(const Placement* placement);
    const char* feed_shared(const char* p, const char* limit, std::int64_t stop, const Rows& rows);
    const char* feed(const char* text, const char* limit, std::int64_t at, bool at_end, std::int64_t stop,
                     const Rows& rows);
    const char* feed_parallel(const char* text, const char* limit, std::int64_t stop, const Rows& rows,
                              bool& irregular);
    void note_miss(const char* text, const char* miss, const char* end, const char* limit, std::int64_t at,
                   std::int32_t field, std::int32_t element);
    void report_bad_value();
    void restart();

    const PcdHeader& header_;
    AsciiInput input_;
    bool nothing_to_read_;  // POINTS below 1, or no field with values in the text

    std::vector<ascii::Column> columns_;
    std::vector<std::int64_t> slots_;  // values in a record before each column, then in all
    std::uint8_t kinds_ = 0;           // the parses that some column makes, one bit each

    bool done_ = false;  // nothing more can be read: the text ended or stuck
    std::int64_t complete_ = -1;
    // The first value no column could read: its offset in the section, and
    // the line feeds before it in `line` until the report says where it is.
    BadValue bad_;
};

}  // namespace vantrel
