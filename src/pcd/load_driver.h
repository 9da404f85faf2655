// One load, from the file to the filled point records, without Python.
#pragma once

#include <cstdint>
#include <fstream>
#include <istream>
#include <stdexcept>
#include <string>

#include "pcd/ascii_reader.h"
#include "pcd/data_report.h"
#include "pcd/pcd_header.h"
#include "pcd/point_buffer.h"

namespace vantrel {

struct PcdLoad {
    PcdHeader header;
    // Positions in header.fields of the coordinates, or -1; the last of a
    // name wins.
    std::int32_t x_index = -1;
    std::int32_t y_index = -1;
    std::int32_t z_index = -1;
    PointBuffer buffer;  // header.points x header.point_step bytes, filled
    DataReport data;     // whether the data section held every point

    bool has_coordinates() const noexcept { return x_index >= 0 && y_index >= 0 && z_index >= 0; }
};

// A file that cannot be opened: the message names it, and the system's error
// number says why (ENOENT, EISDIR, EACCES, ...).
class OpenError : public std::runtime_error {
public:
    OpenError(const std::string& filename, int error_number)
        : OpenError("Cannot open PCD file: " + filename, filename, error_number) {}
    // The whole message, also past a NUL byte in the name, where what() stops.
    const std::string& message() const noexcept { return message_; }
    const std::string& filename() const noexcept { return filename_; }
    int error_number() const noexcept { return error_number_; }

private:
    OpenError(const std::string& message, const std::string& filename, int error_number)
        : std::runtime_error(message), message_(message), filename_(filename), error_number_(error_number) {}

    std::string message_;
    std::string filename_;
    int error_number_;
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

// Opens `filename` (bytes, used unchanged as the path) for reading as raw
// bytes. Throws OpenError when it cannot be opened: a name with a NUL byte
// (EINVAL; it would open the file named by its prefix) and a directory
// (EISDIR; it would read as an empty file) included.
std::ifstream open_pcd_file(const std::string& filename);

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
