// The "binary_compressed" data section: two little-endian 32-bit sizes
// (compressed, uncompressed), then an LZF stream. The stream decompresses to
// a field-major image: for each field in header order, one plane with that
// field's values for every point (a point's COUNT values side by side).
// Padding fields, named "_", fields without elements (COUNT below 1) and
// fields of SIZE below 1 have no plane.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <stdexcept>
#include <vector>

#include "pcd/bulk_memory.h"
#include "pcd/lzf_stream.h"
#include "pcd/pcd_header.h"
#include "pcd/section_reader.h"

namespace vantrel {

// "LZF decompression failed", with what the section held when it was cut
// short: the bytes of the size block present (of 8), and of the payload the
// size declared and the bytes present after the size block (-1 when the
// section was not cut short there).
class DecompressionError : public std::runtime_error {
public:
    DecompressionError() : std::runtime_error("LZF decompression failed") {}
    std::int64_t sizes_present = 8;
    std::int64_t declared = -1;
    std::int64_t present = -1;
};

// Decodes the stream as it is read (the payload is never held whole) and
// places each plane's values at its field's place. A read of every point from
// the first scatters the image straight into the records; any other read
// first decodes the planes it needs into memory of their own (the planes of
// the fields it keeps, and those held already), then copies its points out,
// so later reads, skip() and rewind() cost no decoding (rewind() needs a
// stream that can seek all the same, as the other encodings do). Decoding stops after
// the last plane needed; then the rest of the stream is not checked. Image
// bytes beyond the declared uncompressed size are zero; the report's figures
// come from that size, at the first read. Never writes outside the records.
// A cloud of no points may end before the two sizes: it reads as empty.
// Throws DecompressionError ("LZF decompression failed") when the stream ends
// inside the two sizes or the payload, when the decompressed length differs
// from the declared one, or when that exceeds the image;
// UnsupportedOperation when planes not held are needed again and the stream
// cannot seek back; std::bad_alloc when memory runs out.
class CompressedSection : public SectionReader {
public:
    CompressedSection(std::istream& in, const PcdHeader& header);
    ~CompressedSection() override;

    void read(std::int64_t n, const Placement& placement, std::uint8_t* records, bool zeroed) override;
    void skip(std::int64_t n) override;
    bool rewind() override;

    struct Plane;

private:
    // Points [first, first + n) of the fields a placement keeps, and where they go.
    struct Rows {
        const Placement& placement;
        std::uint8_t* records;
        std::int64_t first;
        std::int64_t n;
    };
    // What a decode does: the image's size, the end of the last plane needed
    // (where it may stop), its capacity, and whether the planes it holds are
    // the image's first ones (decoded in one piece into held_image_).
    struct DecodePlan {
        std::int64_t image = 0;
        std::int64_t last_needed = 0;
        std::uint64_t stop = UINT64_MAX;
        std::uint64_t capacity = 0;
        bool prefix = false;
    };
    void read_sizes();
    void seek_to_start();
    DecodePlan plan_decode(const std::vector<bool>& keep, bool into_records);
    std::size_t read_payload(std::uint8_t* dst, std::size_t size);
    void pass_payload();
    void hold(const std::vector<bool>& keep, const std::uint8_t* data, std::int64_t at, std::size_t size);
    LzfOutcome run_decoder(const DecodePlan& plan, const std::vector<bool>& keep, const Rows* whole, const Rows* chunk,
                           bool& placed);
    void check_outcome(const LzfOutcome& outcome);
    // Decodes the stream from its start: planes marked in `keep` into memory
    // of their own, or (with `whole`) every point straight into its records.
    // With `chunk`, a decode into held memory may place those rows on the way
    // (on a worker); returns true when it did.
    bool decode(const std::vector<bool>& keep, const Rows* whole, const Rows* chunk = nullptr);
    // A decode into `into` (or an image of its own, for nullptr) while a
    // worker places the rows of `rows` as they become final.
    LzfOutcome decode_placing(const Rows& rows, std::uint8_t* into, std::uint64_t capacity, std::uint64_t stop,
                              const std::function<std::size_t(std::uint8_t*, std::size_t)>& read);
    // Places the rows of `rows` that image bytes [lo, hi), at `src`, hold.
    void place_rows(const Rows& rows, const std::uint8_t* src, std::int64_t lo, std::int64_t hi) const;

    std::istream& in_;
    const PcdHeader& header_;
    std::istream::pos_type start_;
    bool seekable_;
    bool started_ = false;  // the stream has moved past the section's start
    std::uint32_t compressed_ = 0;
    std::uint32_t uncompressed_ = 0;
    std::int64_t points_;
    std::vector<Plane> planes_;
    BulkMemory held_image_;  // the image's first planes, when those are the ones held
};

}  // namespace vantrel
