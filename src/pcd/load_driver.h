// One load, from the file to the filled point records, without Python.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

#include "pcd/ascii_reader.h"
#include "pcd/pcd_header.h"
#include "pcd/point_buffer.h"

namespace vantrel {

struct PcdLoad {
    PcdHeader header;
    // Positions in header.fields of the coordinates; the last of a name wins.
    std::int32_t x_index = -1;
    std::int32_t y_index = -1;
    std::int32_t z_index = -1;
    PointBuffer buffer;  // header.points x header.point_step bytes, filled
};

// Opens `filename` (bytes, used unchanged as the path) and loads it as
// load_pcd_stream does. Throws std::runtime_error("Cannot open PCD file: "
// + filename) when it cannot be opened.
PcdLoad load_pcd(const std::string& filename);

// Parses the header at the stream's position, checks for x, y and z,
// allocates the zero-filled point buffer and runs the reader that DATA names
// over the data section, which starts right after the DATA line.
// Throws std::runtime_error with the module's messages ("PCD must contain
// x, y, z fields", "Unsupported PCD DATA type: " + value, "Invalid PCD
// header: ...", "LZF decompression failed"), std::length_error when POINTS x
// point step is negative or overflows 64 bits, std::bad_alloc when memory
// runs out. Nothing is returned on a
// failure and everything allocated is released. `ascii_chunk` sets the read
// size of ascii sections, for tests of chunk boundaries.
PcdLoad load_pcd_stream(std::istream& in, std::size_t ascii_chunk = ascii_chunk_size);

}  // namespace vantrel
