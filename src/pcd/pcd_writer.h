// Writing PCD files: the header, then the data section in one of the three
// encodings, from field values wherever they lie in the caller's memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

// Where the bytes go. write() takes every byte or throws; the writer stops
// at the first exception and lets it pass unchanged.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual void write(const char* data, std::size_t size) = 0;
    // A hint, given before the first write when the writer knows it: the
    // number of bytes that will be written in all. Throws nothing.
    virtual void expect(std::uint64_t) noexcept {}
};

// Checks that `header` can be written and lays its record out (packed, no
// padding): at least one field, each with a writable name (no repeats), an
// element type of the ten and COUNT 1 or more; POINTS 0 or more with
// WIDTH x HEIGHT equal to it; seven finite VIEWPOINT values; DATA ascii,
// binary or binary_compressed, and for binary_compressed an image within
// the format's 32-bit sizes. Throws std::invalid_argument saying what is
// wrong, std::bad_alloc.
void prepare_pcd_header(PcdHeader& header);

// Writes the header and the data section of a prepared header, one source
// per field in header order, to the sink:
// - binary: packed records, built a block at a time (or handed on whole
//   when the sources already are the packed records);
// - binary_compressed: the two little-endian 32-bit sizes, then the LZF
//   stream of the field-major image (one plane per field, in header order);
// - ascii: one point per line, values separated by one space: floats in the
//   shortest form that reads back to the same bits ("nan", "inf", "-inf",
//   "-0" included), integers in decimal.
// Allocates at most a block for binary and ascii, the image and its
// compressed form for binary_compressed. Throws std::bad_alloc, std::length_error
// when LZF cannot hold the image in 32 bits, and whatever the sink throws.
void write_pcd(const PcdHeader& header, const std::vector<FieldSource>& sources, ByteSink& sink);

}  // namespace vantrel
