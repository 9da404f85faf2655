// The PCD text header: the declared fields, the number of points, the
// encoding named on the DATA line, and the point record layout they give.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "pcd/element_types.h"

namespace vantrel {

struct PcdField {
    std::string name;  // as written on the FIELDS line, case preserved
    char type = 'F';   // TYPE letter as read, not case-folded
    std::int32_t size = 4;
    std::int32_t count = 1;
    std::int64_t offset = 0;  // of the first element inside a point record

    // The bytes of one point's elements, SIZE x COUNT: negative for padding
    // that steps back. Never overflows.
    std::int64_t bytes() const noexcept { return std::int64_t{size} * count; }
    // Where the field's bytes end inside a record.
    std::int64_t end() const noexcept { return offset + bytes(); }
};

// The header's keywords and DATA values, shared by the parser, the loader
// and the writer.
namespace keyword {
inline constexpr char version[] = "VERSION";
inline constexpr char fields[] = "FIELDS";
inline constexpr char columns[] = "COLUMNS";  // PCD v0.5's name for FIELDS
inline constexpr char size[] = "SIZE";
inline constexpr char type[] = "TYPE";
inline constexpr char count[] = "COUNT";
inline constexpr char width[] = "WIDTH";
inline constexpr char height[] = "HEIGHT";
inline constexpr char viewpoint[] = "VIEWPOINT";
inline constexpr char points[] = "POINTS";
inline constexpr char data[] = "DATA";
}  // namespace keyword

// The encodings of the data section that DATA names.
enum class Encoding : std::uint8_t { ascii, binary, binary_compressed, other };

// The encoding a (lower-cased) DATA value names; Encoding::other for any
// other value. Does not throw.
Encoding encoding_named(const std::string& value) noexcept;

// The DATA value of an encoding ("ascii", "binary", "binary_compressed"; ""
// for other). Does not throw.
const char* encoding_name(Encoding encoding) noexcept;

// The sensor pose that a header without a VIEWPOINT line stands for: no
// translation, the identity rotation (a quaternion w x y z).
constexpr std::array<double, 7> default_viewpoint = {0, 0, 0, 1, 0, 0, 0};

struct PcdHeader {
    std::vector<PcdField> fields;  // declaration order; repeated names kept
    // WIDTH and HEIGHT are read and reported but never used by the loader:
    // the number of points is POINTS alone.
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t points = 0;
    std::string data_type;                // the DATA value, lower-cased, as messages show it
    Encoding encoding = Encoding::other;  // what data_type names
    std::int64_t point_step = 0;
    std::string version;  // the first token of the VERSION line
    // VIEWPOINT's values; those that the line lacks keep their default.
    std::array<double, 7> viewpoint = default_viewpoint;
    std::int64_t data_offset = 0;   // bytes before the data section: where it starts
    std::int64_t header_lines = 0;  // line feeds before the data section
    bool data_line = false;         // a DATA line ended the header (its value may be anything)
    std::string opening;            // the input's first bytes (up to 8), to tell other formats apart
};

// True for "_", the name writers give padding: bytes that hold nothing.
inline bool is_padding_name(const std::string& name) noexcept {
    return name == "_";
}

// True for the one-byte names x, y and z, which are the coordinates.
inline bool is_coordinate_name(const std::string& name) noexcept {
    return name.size() == 1 && (name[0] == 'x' || name[0] == 'y' || name[0] == 'z');
}

// Positions in PcdHeader::fields of the coordinates, or -1; the last field
// of a name wins.
struct Coordinates {
    std::int32_t x = -1;
    std::int32_t y = -1;
    std::int32_t z = -1;

    bool found() const noexcept { return x >= 0 && y >= 0 && z >= 0; }
};

Coordinates find_coordinates(const PcdHeader& header) noexcept;

// Throws std::runtime_error("PCD must contain x, y, z fields"): points were
// asked of a cloud without them.
[[noreturn]] void missing_coordinates();

// True for a name that one FIELDS token carries and that reads back as the
// same key: not empty, and without whitespace, control bytes or DEL.
bool is_writable_field_name(const std::string& name) noexcept;

// True when the field is handed to the caller under its own name: every field
// but the coordinates, as long as it has at least one element per point.
inline bool has_field_entry(const PcdField& field) noexcept {
    return !is_coordinate_name(field.name) && field.count >= 1;
}

// Reads header lines from the stream's position up to and including the
// DATA line (or to the end of the input), then lays the record out with
// lay_out_record. COLUMNS (PCD v0.5) is read as FIELDS is: a second such line
// appends its fields. Malformed values are absorbed by fixed rules, never
// reported. On return the stream stands just after the DATA line's line feed,
// data_offset bytes from where it stood. Throws as lay_out_record does; may
// throw std::bad_alloc.
PcdHeader parse_pcd_header(std::istream& in);

// Sets every field's offset and the point step from the final SIZE and COUNT:
// field i starts at the sum of SIZE x COUNT over the fields before it (COUNT 1
// where none was given; negative counts included, as padding that steps
// back), and the point step is the sum over all of them.
// Throws std::runtime_error("Invalid PCD header: ...") when the layout cannot
// be held safely: a SIZE x COUNT outside 32 bits, a point step that is
// negative or overflows, or a field with an entry that lies outside its
// record (check_inside_record).
void lay_out_record(PcdHeader& header);

// The header text for `header` (laid out), as a writer puts it: the version
// comment, then VERSION 0.7, FIELDS, SIZE, TYPE, COUNT, WIDTH, HEIGHT,
// VIEWPOINT, POINTS and DATA, each line ended by a line feed. Values are
// written as they stand; the caller has checked them. With `keep_room`, the
// WIDTH, HEIGHT and POINTS values are padded with spaces to 10 characters
// (any 32-bit count fits), so that later counts can be written over them.
// Throws std::bad_alloc.
std::string format_pcd_header(const PcdHeader& header, bool keep_room = false);

// True when every element of the field lies inside a record of `point_step`
// bytes, and it has at least one.
inline bool lies_inside_record(const PcdField& field, std::int64_t point_step) noexcept {
    return field.count >= 1 && field.offset >= 0 && field.end() <= point_step && field.end() >= field.offset;
}

// Throws std::runtime_error("Invalid PCD header: field '...' lies outside the
// point record ...") unless every element of the field lies inside a record
// of `point_step` bytes. A field without elements (COUNT below 1) passes.
void check_inside_record(const PcdField& field, std::int64_t point_step);

}  // namespace vantrel
