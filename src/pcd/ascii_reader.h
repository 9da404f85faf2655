// The "ascii" data section: one flat stream of decimal values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "pcd/bulk_memory.h"
#include "pcd/pcd_header.h"
#include "pcd/section_reader.h"

namespace vantrel {

// The size of the chunks in which the text is read: small enough to stay in
// cache from the copy to the parse.
constexpr std::size_t ascii_chunk_size = std::size_t{1} << 20;

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

    struct Column;

private:
    // Parses the next n records, stored by the placement (or nowhere).
    void run(std::int64_t n, const Placement* placement, std::uint8_t* records);
    const char* feed(const char* text, const char* limit, std::int64_t at, bool at_end, std::int64_t stop,
                     std::uint8_t* rows, std::int64_t first, std::int64_t step);
    const char* feed_parallel(const char* text, const char* limit, std::int64_t at, std::int64_t stop,
                              std::uint8_t* rows, std::int64_t first, std::int64_t step, bool& irregular);
    void note_miss(const char* text, const char* miss, const char* end, const char* limit, std::int64_t at,
                   std::int32_t field, std::int32_t element);
    void restart();
    void read_ahead();

    std::istream& in_;
    const PcdHeader& header_;
    std::size_t chunk_size_;
    bool seekable_;
    std::istream::pos_type section_;
    bool nothing_to_read_;  // POINTS below 1, or no field with values in the text

    std::vector<Column> columns_;
    std::vector<std::int64_t> slots_;  // values in a record before each column, then in all
    std::uint8_t kinds_ = 0;           // the parses that some column makes, one bit each

    BulkMemory chunk_;
    std::size_t lead_ = 0;                // where the text starts in the chunk's memory
    std::size_t filled_ = 0;              // bytes of text in the chunk
    std::size_t begin_ = 0;               // where the text not yet parsed starts in the chunk
    std::int64_t at_ = 0;                 // where the chunk's first byte lies in the section
    bool at_end_ = false;                 // the stream has given all it holds
    std::int64_t line_feeds_before_ = 0;  // before the chunk's first byte (streams that cannot seek)
    // The text after the chunk, read while workers parse the chunk; what is
    // left of the chunk goes in front of it, into the room kept there.
    BulkMemory ahead_;
    std::size_t ahead_lead_;  // the room: a record cut in two, far longer than most
    std::size_t ahead_filled_ = 0;
    bool ahead_ready_ = false;
    bool ahead_end_ = false;

    bool done_ = false;  // nothing more can be read: the text ended or stuck
    std::int64_t complete_ = -1;
    std::int64_t bad_value_ = -1;  // in the section
    std::int64_t bad_line_feeds_ = 0;
    bool bad_stuck_ = false;
    std::string excerpt_;
    std::int64_t bad_point_ = 0;
    std::int32_t bad_field_ = -1;
    std::int32_t bad_element_ = 0;
};

}  // namespace vantrel
