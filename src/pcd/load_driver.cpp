#include "pcd/load_driver.h"

#include <algorithm>
#include <stdexcept>

#include "pcd/ascii_reader.h"
#include "pcd/binary_reader.h"
#include "pcd/compressed_reader.h"
#include "pcd/text.h"

namespace vantrel {
namespace {

// Runs the reader that DATA names and reports what the section held.
DataReport read_data(std::istream& in, const PcdHeader& header, PointBuffer& buffer, const LoadOptions& options) {
    DataReport report;
    const std::int64_t start = header.data_offset;
    if (header.data_type == data_binary) {
        const auto got = static_cast<std::int64_t>(read_binary_data(in, buffer));
        report.points_complete = header.point_step > 0 ? got / header.point_step : std::max(header.points, 0);
        report.data_end = start + got;
    } else if (header.data_type == data_binary_compressed) {
        const CompressedOutcome outcome = read_binary_compressed_data(in, header, buffer);
        report.points_complete = outcome.points_complete;
        report.data_end = start + outcome.used;
    } else if (header.data_type == data_ascii) {
        AsciiOutcome outcome = read_ascii_data(in, header, buffer, options.ascii_chunk);
        report.points_complete = outcome.points_complete;
        report.data_end = start + outcome.used;
        if (outcome.bad_value >= 0) {
            report.bad_value_offset = start + outcome.bad_value;
            report.bad_value_line = header.header_lines + outcome.bad_value_line_feeds + 1;
            report.bad_value_stuck = outcome.used == outcome.bad_value;
            report.bad_value_excerpt = std::move(outcome.excerpt);
        }
    } else {
        throw std::runtime_error("Unsupported PCD DATA type: " + readable(header.data_type));
    }
    return report;
}

}  // namespace

PcdLoad load_pcd_stream(std::istream& in, const LoadOptions& options) {
    PcdLoad load;
    load.header = parse_pcd_header(in);
    const PcdHeader& header = load.header;
    // The data section starts right after the DATA line that ended the parse.
    in.clear();

    load.coordinates = find_coordinates(header);
    if (options.require_coordinates) {
        if (!load.coordinates.found()) throw std::runtime_error("PCD must contain x, y, z fields");
    } else {
        for (const PcdField& field : header.fields) check_inside_record(field, header.point_step);
        // Arrays of a negative length cannot be made, whatever the record size.
        if (header.points < 0) throw_size_error();
    }

    // The binary reader writes every byte itself, so a small buffer need not be
    // cleared first.
    load.buffer =
        PointBuffer(record_bytes(header.points, header.point_step), header.point_step, header.data_type == data_binary);
    load.data = read_data(in, header, load.buffer, options);
    return load;
}

PcdLoad load_pcd(const std::string& filename) {
    std::ifstream file = open_pcd_file(filename);
    return load_pcd_stream(file);
}

}  // namespace vantrel
