#include "pcd/pcd_reader.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pcd/ascii_reader.h"
#include "pcd/binary_reader.h"
#include "pcd/byte_ranges.h"
#include "pcd/compressed_reader.h"
#include "pcd/strided_copy.h"
#include "pcd/text.h"

namespace vantrel {
namespace {

// The checks between the header and the data, in the order a load makes them.
void check_fields(const PcdHeader& header, const LoadOptions& options, const Coordinates& coordinates) {
    if (options.require_coordinates) {
        if (!coordinates.found()) missing_coordinates();
    } else {
        for (const PcdField& field : header.fields) check_inside_record(field, header.point_step);
        // Arrays of a negative length cannot be made, whatever the record size.
        if (header.points < 0) throw_size_error();
    }
}

// The data section starts right after the DATA line that ended the parse.
PcdHeader check_parsed(std::istream& in, PcdHeader header, const LoadOptions& options, Coordinates& coordinates) {
    in.clear();
    coordinates = find_coordinates(header);
    check_fields(header, options, coordinates);
    return header;
}

[[noreturn]] void unsupported_data(const PcdHeader& header) {
    throw std::runtime_error("Unsupported PCD DATA type: " + readable(header.data_type));
}

}  // namespace

void check_header(const PcdHeader& header, const LoadOptions& options) {
    check_fields(header, options, find_coordinates(header));
    record_bytes(header.points, header.point_step);
    if (header.encoding == Encoding::other) unsupported_data(header);
}

std::unique_ptr<SectionReader> make_section_reader(std::istream& in, const PcdHeader& header,
                                                   const LoadOptions& options) {
    switch (header.encoding) {
        case Encoding::binary: return std::make_unique<BinarySection>(in, header);
        case Encoding::binary_compressed: return std::make_unique<CompressedSection>(in, header);
        case Encoding::ascii: return std::make_unique<AsciiSection>(in, header, options.ascii_chunk);
        case Encoding::other: break;
    }
    unsupported_data(header);
}

PcdLoad load_pcd_stream(std::istream& in, const LoadOptions& options) {
    return load_parsed(in, parse_pcd_header(in), options);
}

PcdLoad load_parsed(std::istream& in, PcdHeader header_read, const LoadOptions& options) {
    PcdLoad load;
    load.header = check_parsed(in, std::move(header_read), options, load.coordinates);
    const PcdHeader& header = load.header;
    // The binary reader writes every byte itself, so a small buffer need not be
    // cleared first. The buffer comes before the DATA value is looked at.
    load.buffer = PointBuffer(record_bytes(header.points, header.point_step), header.point_step,
                              header.encoding == Encoding::binary);
    const std::unique_ptr<SectionReader> section = make_section_reader(in, header, options);
    section->read(std::max<std::int32_t>(header.points, 0), whole_records(header), load.buffer.data(),
                  load.buffer.zeroed());
    load.data = section->report();
    return load;
}

PcdLoad map_pcd_file(const std::string& filename, PcdHeader header_read, const LoadOptions& options) {
    std::ifstream file = open_pcd_file(filename);
    PcdLoad load;
    load.header = check_parsed(file, std::move(header_read), options, load.coordinates);
    const PcdHeader& header = load.header;
    const std::int64_t size = record_bytes(header.points, header.point_step);
    if (header.encoding != Encoding::binary) {
        throw std::invalid_argument("only DATA binary can be memory-mapped, and this file's DATA is " +
                                    vantrel::quoted(header.data_type));
    }
    const int fd = ::open(filename.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info{};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        throw OpenError(filename, error);
    }
    const std::int64_t held = std::clamp<std::int64_t>(info.st_size - header.data_offset, 0, size);
    try {
        load.buffer =
            PointBuffer(BulkMemory::map_file(fd, static_cast<std::uint64_t>(header.data_offset),
                                             static_cast<std::uint64_t>(size), static_cast<std::uint64_t>(held)));
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);  // the mapping keeps the file
    const std::int64_t points = std::max<std::int32_t>(header.points, 0);
    load.data.points_complete = header.point_step > 0 ? held / header.point_step : points;
    load.data.data_end = header.data_offset + held;
    return load;
}

std::int64_t field_position(const PcdHeader& header, const std::string& name) noexcept {
    for (std::size_t i = header.fields.size(); i-- > 0;) {
        const PcdField& field = header.fields[i];
        // Names are keys up to a NUL byte, as the fields' dict holds them.
        if (field.count >= 1 && std::string(field.name.c_str()) == name) return static_cast<std::int64_t>(i);
    }
    return -1;
}

PcdReader::PcdReader(std::istream& in, PcdHeader header, const LoadOptions& options) {
    Coordinates coordinates;
    header_ = check_parsed(in, std::move(header), options, coordinates);
    record_bytes(header_.points, header_.point_step);  // a claim no buffer can hold fails here, as a load does
    section_ = make_section_reader(in, header_, options);
    // Fields whose bytes meet another field's: in the file's records the one
    // decoded later wins them, and a read of chosen fields must show the same.
    std::vector<ByteRange> ranges;
    for (const PcdField& field : header_.fields) {
        ranges.emplace_back(field.offset, field.count >= 1 ? field.end() : field.offset);
    }
    shared_ = sharing_bytes(ranges);
}

PcdReader::~PcdReader() = default;

std::int64_t PcdReader::size() const noexcept {
    return std::max<std::int32_t>(header_.points, 0);
}

template <typename Step>
auto PcdReader::guarded(std::int64_t point, Step&& step) {
    try {
        return step();
    } catch (...) {
        resume_ = point;  // the section stopped somewhere inside the call
        throw;
    }
}

void PcdReader::resume() {
    if (resume_ < 0) return;
    if (!section_->rewind()) {
        throw UnsupportedOperation("a read of this source failed part way, and the source cannot seek back to point " +
                                   std::to_string(resume_) + ": open it again");
    }
    const std::int64_t point = resume_;
    guarded(point, [&] { section_->skip(point); });
    resume_ = -1;
}

PcdLoad PcdReader::read(std::int64_t count, const std::vector<std::size_t>* chosen) {
    resume();
    const std::int64_t first = tell();
    return guarded(first, [&] { return read_from_here(count, chosen); });
}

PcdLoad PcdReader::read_from_here(std::int64_t count, const std::vector<std::size_t>* chosen) {
    const std::int64_t n = std::clamp<std::int64_t>(count, 0, size() - tell());
    const Placement placement = chosen ? packed_records(header_, *chosen) : whole_records(header_);
    if (chosen && std::any_of(chosen->begin(), chosen->end(), [&](std::size_t f) { return shared_[f]; })) {
        // Whole records first, so that shared bytes hold what a whole read gives.
        const PcdLoad whole = read_from_here(n, nullptr);
        PcdLoad load = part(n, chosen, placement);
        for (const std::size_t f : *chosen) {
            const PcdField& field = header_.fields[f];
            copy_rows(whole.buffer.data() + field.offset, header_.point_step, load.buffer.data() + placement.offset[f],
                      placement.step, field.bytes(), n);
        }
        load.data = whole.data;
        return load;
    }
    PcdLoad load = part(n, chosen, placement);
    section_->read(n, placement, load.buffer.data(), load.buffer.zeroed());
    load.data = section_->report();
    return load;
}

PcdLoad PcdReader::part(std::int64_t n, const std::vector<std::size_t>* chosen, const Placement& placement) const {
    PcdLoad load;
    load.header = header_;
    if (chosen) {
        load.header.fields.clear();
        for (const std::size_t f : *chosen) {
            load.header.fields.push_back(header_.fields[f]);
            load.header.fields.back().offset = placement.offset[f];
        }
    }
    load.header.point_step = placement.step;
    load.header.points = load.header.width = static_cast<std::int32_t>(n);
    load.header.height = 1;
    load.coordinates = find_coordinates(load.header);
    const bool writes_every_byte = header_.encoding == Encoding::binary && placement.whole;
    load.buffer = PointBuffer(record_bytes(n, placement.step), placement.step, writes_every_byte);
    return load;
}

void PcdReader::seek(std::int64_t point) {
    if (point < 0 || point > size()) {
        throw std::invalid_argument("point " + std::to_string(point) + " is out of range: the cloud has " +
                                    std::to_string(size()) + " points");
    }
    resume();
    const std::int64_t before = tell();
    if (point < before && !section_->rewind()) {
        throw UnsupportedOperation("the source cannot seek, so the reader can only move forward (it is at point " +
                                   std::to_string(before) + ")");
    }
    guarded(before, [&] { section_->skip(point - section_->position()); });
}

}  // namespace vantrel
