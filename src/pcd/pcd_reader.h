// Loads, from the stream to the filled point records, without Python: a whole
// file at once, or a run of points and a choice of fields at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "pcd/ascii_reader.h"
#include "pcd/data_report.h"
#include "pcd/file_input.h"
#include "pcd/pcd_header.h"
#include "pcd/point_buffer.h"
#include "pcd/section_reader.h"

namespace vantrel {

struct PcdLoad {
    PcdHeader header;  // of the records held: the file's, or a part's (see PcdReader::read)
    Coordinates coordinates;
    PointBuffer buffer;  // header.points x header.point_step bytes, filled
    DataReport data;     // whether the data section held every point
};

struct LoadOptions {
    // Refuse a file without fields x, y and z ("PCD must contain x, y, z
    // fields"). Without it, every field with elements must lie inside the
    // record, the coordinates included, since they are handed out as fields,
    // and a negative POINTS is a std::length_error whatever the record size.
    bool require_coordinates = true;
    // The read size of ascii sections, for tests of chunk boundaries.
    std::size_t ascii_chunk = ascii_chunk_size;
};

// Refuses a header as a load with these options would, before reading any
// data: the checks of load_pcd_stream, then the DATA value. Throws as
// load_pcd_stream does (std::bad_alloc aside).
void check_header(const PcdHeader& header, const LoadOptions& options);

// The reader that DATA names, over the section at the stream's position.
// Throws std::runtime_error("Unsupported PCD DATA type: " + value).
std::unique_ptr<SectionReader> make_section_reader(std::istream& in, const PcdHeader& header,
                                                   const LoadOptions& options);

// Parses the header at the stream's position, checks for x, y and z (as the
// options say), allocates the zero-filled point buffer and runs the reader
// that DATA names over the data section, which starts right after the DATA
// line. What the section lacked is reported in PcdLoad::data, never thrown.
// Throws std::runtime_error with the module's messages ("PCD must contain
// x, y, z fields", "Unsupported PCD DATA type: " + value, "Invalid PCD
// header: ...", "LZF decompression failed"), std::length_error when POINTS x
// point step is negative or overflows 64 bits, std::bad_alloc when memory
// runs out. Nothing is returned on a failure and everything allocated is
// released.
PcdLoad load_pcd_stream(std::istream& in, const LoadOptions& options = {});

// load_pcd_stream after the header: `header` was parsed from the stream, which
// stands just after it.
PcdLoad load_parsed(std::istream& in, PcdHeader header, const LoadOptions& options);

// Maps the records of `filename`, whose header (`header`, parsed from it) must
// name DATA binary, instead of reading them (BulkMemory::map_file): the cost
// does not grow with the file. What the file lacks of POINTS reads as zero and
// is reported. Checks the header as load_pcd_stream does; throws
// std::invalid_argument for another DATA value, OpenError, and as
// load_pcd_stream does.
PcdLoad map_pcd_file(const std::string& filename, PcdHeader header, const LoadOptions& options);

// The field a name stands for, as the fields of a read hand it out: the last
// field of that name with at least one element; -1 when there is none.
std::int64_t field_position(const PcdHeader& header, const std::string& name) noexcept;

// A PCD read from a stream a run of points at a time, every field or chosen
// ones: the same readers as a whole load, resumed where the last read ended.
// The stream must outlive the reader.
class PcdReader {
public:
    // Checks the header, parsed from the stream that stands just after it, as
    // load_pcd_stream does (without the data: the first read meets what it
    // lacks). Throws as it does.
    PcdReader(std::istream& in, PcdHeader header, const LoadOptions& options);
    ~PcdReader();
    PcdReader(const PcdReader&) = delete;
    PcdReader& operator=(const PcdReader&) = delete;

    const PcdHeader& header() const noexcept { return header_; }
    // The points of the file (POINTS, or 0 when it is negative).
    std::int64_t size() const noexcept;
    // The next point to be read.
    std::int64_t tell() const noexcept { return resume_ >= 0 ? resume_ : section_->position(); }

    // The next `count` points (0 or more; fewer at the end) of the chosen
    // fields: positions in header().fields, ascending, each with at least one
    // element, packed in that order; null for the file's own records. The
    // values are those a whole read gives (a field that shares bytes with
    // another is read through whole records). The load's header is the part's:
    // POINTS and WIDTH its length, HEIGHT 1, the fields and point step of its
    // records. Throws as the readers do.
    PcdLoad read(std::int64_t count, const std::vector<std::size_t>* chosen);

    // A load of no points of the file's own records, as read(0) gives it,
    // without touching the section: what a caller checks the file's fields on.
    PcdLoad empty() const { return part(0, nullptr, whole_records(header_)); }

    // Moves to `point` (0 to size()): forward by passing over points, back by
    // reading the section again from its start (a new pass: the report starts
    // afresh). Throws std::invalid_argument for a point out of range (nothing
    // moves), UnsupportedOperation for going back on a stream that cannot seek.
    void seek(std::int64_t point);

    // A read or seek that throws (Interrupted, a failing source, no memory)
    // leaves the reader where it was before that call: the next call first
    // reads the section again up to there, and on a stream that cannot seek
    // throws UnsupportedOperation instead, for good. resume_from() asks the
    // same after a call that returned over a source that failed under it.
    void resume_from(std::int64_t point) noexcept {
        if (resume_ < 0) resume_ = point;
    }

    // What the data section lacked in this pass, as far as read.
    const DataReport& report() const noexcept { return section_->report(); }

private:
    // A load of n points of the placement's records, not filled yet.
    PcdLoad part(std::int64_t n, const std::vector<std::size_t>* chosen, const Placement& placement) const;
    PcdLoad read_from_here(std::int64_t count, const std::vector<std::size_t>* chosen);
    // Runs `step`; when it throws, notes that the section must be read again up to `point`.
    template <typename Step>
    auto guarded(std::int64_t point, Step&& step);
    // Reads the section again up to the point that a failed call left, if any.
    void resume();

    PcdHeader header_;
    std::unique_ptr<SectionReader> section_;
    std::vector<bool> shared_;  // per field: some of its bytes are another field's too
    std::int64_t resume_ = -1;  // where a call that failed left the reader, until resume() gets there
};

}  // namespace vantrel
