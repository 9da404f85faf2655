// One load, from the file to the filled point records, without Python.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

#include "pcd/ascii_reader.h"
#include "pcd/data_report.h"
#include "pcd/file_input.h"
#include "pcd/pcd_header.h"
#include "pcd/point_buffer.h"

namespace vantrel {

struct PcdLoad {
    PcdHeader header;
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

// Opens `filename` and loads it as load_pcd_stream does, coordinates required.
PcdLoad load_pcd(const std::string& filename);

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

}  // namespace vantrel
