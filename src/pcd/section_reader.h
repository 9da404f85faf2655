// The data section read a run of points at a time: each encoding's reader
// resumes where the last read stopped, so a whole load, a read in chunks and
// a read of chosen fields are calls of the same reader.
#pragma once

#include <cstdint>
#include <stdexcept>

#include "pcd/data_report.h"
#include "pcd/placement.h"

namespace vantrel {

// An operation the source cannot do: going back on a stream that cannot seek.
class UnsupportedOperation : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SectionReader {
public:
    virtual ~SectionReader() = default;

    // Decodes the next `n` points (0 <= n <= POINTS - position()) into
    // `records`: n x placement.step bytes, zero-filled unless `zeroed` is
    // false (then the reader writes every byte itself). What the section
    // lacks stays zero. Throws as each reader states.
    virtual void read(std::int64_t n, const Placement& placement, std::uint8_t* records, bool zeroed) = 0;

    // Passes over the next `n` points (0 <= n <= POINTS - position()).
    virtual void skip(std::int64_t n) = 0;

    // Starts again from the first point, reading the section again. False
    // (and nothing changed) when the stream cannot seek back.
    virtual bool rewind() = 0;

    // The next point to be read.
    std::int64_t position() const noexcept { return position_; }

    // What the section lacked, with the figures of the whole section, known
    // from the read that meets the shortfall on (complete() turns false then),
    // and where reading stopped (data_end). rewind() starts it afresh.
    const DataReport& report() const noexcept { return report_; }

protected:
    std::int64_t position_ = 0;
    DataReport report_;
};

}  // namespace vantrel
