// Writing PCD files: the rules a written file follows, the header, then the
// data section in one of the three encodings, from field values wherever they
// lie in the caller's memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
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
    std::string data = data_binary_compressed;
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

// The header of a file of `points` points of these (checked) fields, laid
// out packed: checks the number of points, DATA, the grid (WIDTH x HEIGHT
// must be the points; given one, the other follows when it can) and the
// viewpoint (7 finite numbers), and for binary_compressed that the image
// fits the format's 32-bit sizes. Throws std::invalid_argument saying what
// is wrong, std::bad_alloc.
PcdHeader plan_pcd_header(const std::vector<WriteField>& fields, std::int64_t points, const WriteOptions& options);

// Writes the header and the data section of a planned header, one source
// per field in header order, to the sink:
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
