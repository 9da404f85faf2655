// What a load found in the data section, kept as plain numbers so that the
// caller decides how to tell the user: whether the section held every point,
// and where the first value stood that could not be read.
#pragma once

#include <cstdint>
#include <string>

#include "pcd/pcd_header.h"

namespace vantrel {

// The first ascii value that no column could read.
struct BadValue {
    // Where it starts (from the start of the PCD; -1 when there is none), its
    // line (from 1), whether nothing was read after it, and its first bytes up
    // to the line's end.
    std::int64_t offset = -1;
    std::int64_t line = 0;
    bool stuck = false;
    std::string excerpt;
    // Where the values stop: the point, and the field (in header.fields) and
    // element that could not read it.
    std::int64_t point = 0;
    std::int32_t field = -1;
    std::int32_t element = 0;

    bool found() const noexcept { return offset >= 0; }
};

struct DataReport {
    std::int64_t points_complete = 0;  // leading points that the section holds in full
    std::int64_t data_end = 0;         // where the reader stopped, from the start of the PCD
    BadValue bad_value;

    bool complete(const PcdHeader& header) const noexcept {
        return !bad_value.found() && points_complete >= header.points;
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
