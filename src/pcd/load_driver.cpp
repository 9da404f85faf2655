#include "pcd/load_driver.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "pcd/ascii_reader.h"
#include "pcd/binary_reader.h"
#include "pcd/compressed_reader.h"

namespace vantrel {
namespace {

std::int64_t buffer_size(const PcdHeader& header) {
    std::int64_t size = 0;
    if (__builtin_mul_overflow(std::int64_t{header.points}, header.point_step, &size)) {
        throw std::length_error("cannot create std::vector larger than max_size()");
    }
    return size;
}

}  // namespace

PcdLoad load_pcd_stream(std::istream& in, std::size_t ascii_chunk) {
    PcdLoad load;
    load.header = parse_pcd_header(in);
    const PcdHeader& header = load.header;
    // The data section starts right after the DATA line that ended the parse.
    in.clear();

    const auto field_count = static_cast<std::int32_t>(header.fields.size());
    for (std::int32_t i = 0; i < field_count; ++i) {
        const std::string& name = header.fields[static_cast<std::size_t>(i)].name;
        if (!is_coordinate_name(name)) continue;
        (name[0] == 'x' ? load.x_index : name[0] == 'y' ? load.y_index : load.z_index) = i;
    }
    if (load.x_index < 0 || load.y_index < 0 || load.z_index < 0) {
        throw std::runtime_error("PCD must contain x, y, z fields");
    }

    // The binary reader writes every byte itself, so a small buffer need not be
    // cleared first.
    load.buffer = PointBuffer(buffer_size(header), header.point_step, header.data_type == "binary");

    if (header.data_type == "binary") {
        read_binary_data(in, load.buffer);
    } else if (header.data_type == "binary_compressed") {
        read_binary_compressed_data(in, header, load.buffer);
    } else if (header.data_type == "ascii") {
        read_ascii_data(in, header, load.buffer, ascii_chunk);
    } else {
        throw std::runtime_error("Unsupported PCD DATA type: " + header.data_type);
    }
    return load;
}

PcdLoad load_pcd(const std::string& filename) {
    // A name with a NUL byte would open the file named by its prefix instead,
    // and a directory opens but reads as an empty file.
    std::ifstream file;
    std::error_code ignored;
    if (filename.find('\0') == std::string::npos && !std::filesystem::is_directory(filename, ignored)) {
        file.open(filename, std::ios::in | std::ios::binary);
    }
    if (!file.is_open()) {
        throw std::runtime_error("Cannot open PCD file: " + filename);
    }
    return load_pcd_stream(file);
}

}  // namespace vantrel
