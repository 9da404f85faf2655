// Writing PCD files: the rules a written file follows, the header, then the
// data section in one of the three encodings, from field values wherever they
// lie in the caller's memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pcd/byte_sink.h"
#include "pcd/pcd_header.h"
#include "pcd/section_writer.h"

namespace vantrel {

// One field as the caller hands it over, before any check.
struct WriteField {
    std::string name;
    char type = type_float;  // with size: an element type of the table
    std::int32_t size = 4;
    std::int64_t count = 1;   // elements per point
    std::int64_t points = 0;  // how many points the caller's values hold
    FieldSource source;
    bool coordinate = false;  // one of the points' x, y and z
};

// What the caller chose beside the fields; each as given, checked here.
struct WriteOptions {
    std::string data = encoding_name(Encoding::binary_compressed);
    std::optional<std::int64_t> width;
    std::optional<std::int64_t> height;
    // The grid of the cloud being written again, used when neither width nor
    // height is given and it holds exactly the points written.
    std::optional<std::array<std::int32_t, 2>> cloud_grid;
    std::optional<std::vector<double>> viewpoint;  // default_viewpoint when absent
};

// Checks the fields (a writable name each, given once; an element type of
// the table; COUNT 1 or more; the same number of points) and returns that
// number. Throws std::invalid_argument saying which field is wrong.
std::int64_t check_write_fields(const std::vector<WriteField>& fields);

// Checks the options alone: DATA, the ranges of width and height, the
// viewpoint, and (when `points` is given) the number of points and the grid.
// Throws std::invalid_argument as plan_pcd_header does.
void check_write_options(const WriteOptions& options, std::optional<std::int64_t> points);

// The header of a file of `points` points of these (checked) fields, laid
// out packed: checks the number of points, DATA, the grid (WIDTH x HEIGHT
// must be the points; given one, the other follows when it can) and the
// viewpoint (7 finite numbers), and for binary_compressed that the image
// fits the format's 32-bit sizes. Throws std::invalid_argument saying what
// is wrong, std::bad_alloc.
PcdHeader plan_pcd_header(const std::vector<WriteField>& fields, std::int64_t points, const WriteOptions& options);

// Writes a planned header and its data section a piece of the cloud at a
// time, one source per field in header order. With `total_known`, the
// header's POINTS, WIDTH and HEIGHT are the cloud's; without, they are
// placeholders: binary and ascii write the header at once with room kept
// for the counts (each padded with spaces to 10 characters, which every
// reader skips), and finish() writes them over it through the sink's
// rewrite(); binary_compressed, whose planes are held until finish(), writes
// its header then. Throws what the sink throws, std::bad_alloc.
class PcdWriter {
public:
    PcdWriter(ByteSink& sink, const PcdHeader& header, bool total_known);
    ~PcdWriter();
    PcdWriter(const PcdWriter&) = delete;
    PcdWriter& operator=(const PcdWriter&) = delete;

    // Appends n points. Throws std::invalid_argument, before anything is
    // written, when a binary_compressed image would pass the format's 4 GiB.
    void write(const std::vector<FieldSource>& sources, std::int64_t n);

    // Ends the file under `header`: the one given, or (when the total was not
    // known) the same fields planned for written() points.
    void finish(const PcdHeader& header);

    std::int64_t written() const noexcept { return written_; }

private:
    std::unique_ptr<SectionWriter> section_;  // the encoder DATA names, chosen once
    std::int64_t written_ = 0;
};

// Writes the header and the data section of a planned header, one source
// per field in header order, to the sink (a PcdWriter given every point):
// - binary: packed records, built a block at a time (or handed on whole
//   when the sources already are the packed records);
// - binary_compressed: the two little-endian 32-bit sizes, then the LZF
//   stream of the field-major image (one plane per field, in header order);
// - ascii: one point per line, values separated by one space: floats in the
//   shortest form that reads back to the same bits ("nan", "inf", "-inf",
//   "-0" included), integers in decimal.
// Allocates at most a block for binary and ascii, the image and its
// compressed form for binary_compressed. Throws std::bad_alloc,
// std::length_error when LZF cannot hold the image in 32 bits, and whatever
// the sink throws.
void write_pcd(const PcdHeader& header, const std::vector<FieldSource>& sources, ByteSink& sink);

}  // namespace vantrel
