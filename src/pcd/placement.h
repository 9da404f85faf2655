// Where a read puts the values of each of the file's fields: the records a
// read fills, shared by the three section readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pcd/pcd_header.h"

namespace vantrel {

// Field f's element k of point i (counted from the read's first point) goes to
// records + i * step + offset[f] + k * SIZE. A field whose offset is -1 is
// not kept: its values are passed over (in ascii: read, so that an unreadable
// one stops the section as it would otherwise) and stored nowhere.
struct Placement {
    std::vector<std::int64_t> offset;  // one per field of the file, in header order
    std::int64_t step = 0;             // bytes per record
    bool whole = false;                // the file's own records: every field where the file has it
};

// The file's own records, every field at its offset.
inline Placement whole_records(const PcdHeader& file) {
    Placement placement;
    for (const PcdField& field : file.fields) placement.offset.push_back(field.offset);
    placement.step = file.point_step;
    placement.whole = true;
    return placement;
}

// Records of the chosen fields alone (positions in file.fields, ascending),
// packed in that order. Each must have at least one element. Throws only
// std::bad_alloc.
inline Placement packed_records(const PcdHeader& file, const std::vector<std::size_t>& chosen) {
    Placement placement;
    placement.offset.assign(file.fields.size(), -1);
    for (const std::size_t f : chosen) {
        placement.offset[f] = placement.step;
        placement.step += file.fields[f].bytes();
    }
    return placement;
}

}  // namespace vantrel
