// What a load found in the data section, kept as plain numbers so that the
// caller decides how to tell the user: whether the section held every point,
// and where the first value stood that could not be read.
#pragma once

#include <cstdint>
#include <string>

#include "pcd/pcd_header.h"

namespace vantrel {

struct DataReport {
    std::int64_t points_complete = 0;  // leading points that the section holds in full
    std::int64_t data_end = 0;         // where the reader stopped, from the start of the PCD
    // The first ascii value that no column could read: where it starts (from
    // the start of the PCD; -1 when there is none), its line (from 1), whether
    // nothing was read after it, and its first bytes up to the line's end.
    std::int64_t bad_value_offset = -1;
    std::int64_t bad_value_line = 0;
    bool bad_value_stuck = false;
    std::string bad_value_excerpt;
    // Where the values stop: the point, and the field (in header.fields) and
    // element that could not read it.
    std::int64_t bad_value_point = 0;
    std::int32_t bad_value_field = -1;
    std::int32_t bad_value_element = 0;

    bool complete(const PcdHeader& header) const noexcept {
        return bad_value_offset < 0 && points_complete >= header.points;
    }
};

// The sentence a user needs when the data section falls short of POINTS:
// how many points it holds in full and, for an ascii value that cannot be
// read, its line, byte and first characters and the field and point from
// which the values are zero (or may be misplaced, when a later column read
// it). Empty when nothing is amiss.
// Allocates; throws only std::bad_alloc.
std::string describe_shortfall(const PcdHeader& header, const DataReport& report);

}  // namespace vantrel
