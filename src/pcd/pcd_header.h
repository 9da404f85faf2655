// The PCD text header: the declared fields, the number of points, the
// encoding named on the DATA line, and the point record layout they give.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace vantrel {

struct PcdField {
    std::string name;  // as written on the FIELDS line, case preserved
    char type = 'F';   // TYPE letter as read, not case-folded
    std::int32_t size = 4;
    std::int32_t count = 1;
    std::int64_t offset = 0;  // of the first element inside a point record
};

struct PcdHeader {
    std::vector<PcdField> fields;  // declaration order; repeated names kept
    // WIDTH and HEIGHT are read but not used by the loader: the number of
    // points is POINTS alone.
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t points = 0;
    std::string data_type;  // the DATA value, lower-cased
    std::int64_t point_step = 0;
};

// True for the one-byte names x, y and z, which are the coordinates.
inline bool is_coordinate_name(const std::string& name) noexcept {
    return name.size() == 1 && (name[0] == 'x' || name[0] == 'y' || name[0] == 'z');
}

// True when the field is handed to the caller under its own name: every field
// but the coordinates, as long as it has at least one element per point.
inline bool has_field_entry(const PcdField& field) noexcept {
    return !is_coordinate_name(field.name) && field.count >= 1;
}

// Reads header lines from the stream's current position up to and including
// the DATA line (or to the end of the input), then lays out the point record:
// field i starts at the sum of SIZE x COUNT over the fields before it, and the
// point step is the sum over all of them (COUNT 1 where none was given).
// Malformed values are absorbed by fixed rules, never reported. On return the
// stream stands just after the DATA line's line feed.
// Throws std::runtime_error("Invalid PCD header: ...") when the layout cannot
// be held safely: a SIZE x COUNT outside 32 bits, a point step that is
// negative or overflows, or a field with an entry that lies outside its
// record. May throw std::bad_alloc.
PcdHeader parse_pcd_header(std::istream& in);

}  // namespace vantrel
