#include "pcd/pcd_header.h"

#include <charconv>
#include <cstring>
#include <stdexcept>

#include <fast_float/fast_float.h>

#include "pcd/text.h"

namespace vantrel {
namespace {

bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

const char* skip_space(const char* p, const char* end) noexcept {
    while (p != end && is_space(*p)) ++p;
    return p;
}

const char* token_end(const char* p, const char* end) noexcept {
    while (p != end && !is_space(*p)) ++p;
    return p;
}

// Reads the integer values of one line, in order, by the header's rules: a
// value that is not a decimal integer sets its member to 0 and ends the line;
// one beyond 32 bits sets the nearest limit and ends the line; a line without
// further values leaves the remaining members as they are.
class IntValues {
public:
    IntValues(const char* p, const char* end) noexcept : p_(p), end_(end) {}

    // Returns false when nothing more is to be read from the line (member
    // untouched).
    bool next(std::int32_t& member) noexcept {
        if (done_) return false;
        p_ = skip_space(p_, end_);
        if (p_ == end_) {
            done_ = true;
            return false;
        }
        bool negative = false;
        if (*p_ == '+' || *p_ == '-') {
            negative = *p_ == '-';
            ++p_;
        }
        if (p_ == end_ || *p_ < '0' || *p_ > '9') {
            member = 0;
            done_ = true;
            return true;
        }
        const std::int64_t limit = negative ? -int32_min : int32_max;
        std::int64_t magnitude = 0;
        bool saturated = false;
        for (; p_ != end_ && *p_ >= '0' && *p_ <= '9'; ++p_) {
            magnitude = magnitude * 10 + (*p_ - '0');
            if (magnitude > limit) {
                saturated = true;
                magnitude = limit;
            }
        }
        member = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
        if (saturated) done_ = true;
        return true;
    }

private:
    const char* p_;
    const char* end_;
    bool done_ = false;
};

[[noreturn]] void invalid_header(const std::string& what) {
    throw std::runtime_error("Invalid PCD header: " + what);
}

// VIEWPOINT's values, read in order until the line ends or a value is not a
// number; a line that stops early leaves the rest at their defaults.
std::array<double, 7> read_viewpoint(const char* p, const char* end) noexcept {
    std::array<double, 7> viewpoint = default_viewpoint;
    for (double& value : viewpoint) {
        p = skip_space(p, end);
        if (p != end && *p == '+') ++p;
        const auto parsed = fast_float::from_chars(p, end, value);
        if (parsed.ptr == p) break;
        p = parsed.ptr;
    }
    return viewpoint;
}

}  // namespace

void missing_coordinates() {
    throw std::runtime_error("PCD must contain x, y, z fields");
}

Encoding encoding_named(const std::string& value) noexcept {
    for (const Encoding encoding : {Encoding::ascii, Encoding::binary, Encoding::binary_compressed}) {
        if (value == encoding_name(encoding)) return encoding;
    }
    return Encoding::other;
}

const char* encoding_name(Encoding encoding) noexcept {
    switch (encoding) {
        case Encoding::ascii: return "ascii";
        case Encoding::binary: return "binary";
        case Encoding::binary_compressed: return "binary_compressed";
        case Encoding::other: break;
    }
    return "";
}

void check_inside_record(const PcdField& field, std::int64_t point_step) {
    if (field.count < 1 || lies_inside_record(field, point_step)) return;
    invalid_header("field '" + readable(field.name) + "' lies outside the point record (bytes " +
                   std::to_string(field.offset) + " to " + std::to_string(field.end()) + " of " +
                   std::to_string(point_step) + ")");
}

void lay_out_record(PcdHeader& header) {
    // Negative counts stay in the running total: writers use them for padding
    // fields that step back over fields written out of offset order.
    std::int64_t total = 0;
    for (PcdField& field : header.fields) {
        const std::int64_t bytes = field.bytes();
        if (bytes < int32_min || bytes > int32_max) {
            invalid_header("SIZE x COUNT of field '" + readable(field.name) + "' is out of range (" +
                           std::to_string(field.size) + " x " + std::to_string(field.count) + ")");
        }
        field.offset = total;
        if (__builtin_add_overflow(total, bytes, &total)) {
            invalid_header("the point size overflows");
        }
    }
    if (total < 0) {
        invalid_header("the point size is negative (" + std::to_string(total) + " bytes)");
    }
    header.point_step = total;
    for (const PcdField& field : header.fields) {
        if (has_field_entry(field)) check_inside_record(field, total);
    }
}

namespace {

// Counts a line read (`fed`: a line feed ended it) into the header's offsets
// and its opening bytes.
void count_line(PcdHeader& header, const std::string& line, bool fed) {
    if (header.opening.size() < 8) {
        header.opening.append(line, 0, 8 - header.opening.size());
        if (fed && header.opening.size() < 8) header.opening += '\n';
    }
    header.data_offset += static_cast<std::int64_t>(line.size()) + (fed ? 1 : 0);
    header.header_lines += fed ? 1 : 0;
}

void read_fields(PcdHeader& header, const char* p, const char* end) {
    for (p = skip_space(p, end); p != end; p = skip_space(p, end)) {
        const char* q = token_end(p, end);
        header.fields.push_back(PcdField{std::string(p, q)});
        p = q;
    }
}

void read_types(PcdHeader& header, const char* p, const char* end) {
    for (PcdField& field : header.fields) {
        p = skip_space(p, end);
        if (p == end) break;
        field.type = *p++;
    }
}

void read_data(PcdHeader& header, const char* p, const char* end) {
    header.data_line = true;
    p = skip_space(p, end);
    header.data_type.assign(p, token_end(p, end));
    for (char& c : header.data_type) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    header.encoding = encoding_named(header.data_type);
}

// Reads one line's keyword and values into the header. Returns true for the
// DATA line, which ends the header.
bool read_line(PcdHeader& header, const std::string& line) {
    const char* const end = line.data() + line.size();
    const char* key = skip_space(line.data(), end);
    const char* key_end = token_end(key, end);
    const auto key_len = static_cast<std::size_t>(key_end - key);
    auto is = [&](const char* word) { return key_len == std::strlen(word) && std::memcmp(key, word, key_len) == 0; };
    if (is(keyword::fields) || is(keyword::columns)) {
        read_fields(header, key_end, end);
    } else if (is(keyword::size) || is(keyword::count)) {
        const bool size = is(keyword::size);
        IntValues values(key_end, end);
        for (PcdField& field : header.fields) {
            if (!values.next(size ? field.size : field.count)) break;
        }
    } else if (is(keyword::type)) {
        read_types(header, key_end, end);
    } else if (is(keyword::width)) {
        IntValues(key_end, end).next(header.width);
    } else if (is(keyword::height)) {
        IntValues(key_end, end).next(header.height);
    } else if (is(keyword::points)) {
        IntValues(key_end, end).next(header.points);
    } else if (is(keyword::version)) {
        const char* p = skip_space(key_end, end);
        header.version.assign(p, token_end(p, end));
    } else if (is(keyword::viewpoint)) {
        header.viewpoint = read_viewpoint(key_end, end);
    } else if (is(keyword::data)) {
        read_data(header, key_end, end);
        return true;
    }
    return false;
}

}  // namespace

PcdHeader parse_pcd_header(std::istream& in) {
    PcdHeader header;
    std::string line;
    while (std::getline(in, line)) {
        count_line(header, line, !in.eof());  // a line feed was consumed unless the input ended first
        if (line.empty() || line[0] == '#') continue;
        if (read_line(header, line)) break;
    }
    lay_out_record(header);
    return header;
}

Coordinates find_coordinates(const PcdHeader& header) noexcept {
    Coordinates found;
    const auto count = static_cast<std::int32_t>(header.fields.size());
    for (std::int32_t i = 0; i < count; ++i) {
        const std::string& name = header.fields[static_cast<std::size_t>(i)].name;
        if (!is_coordinate_name(name)) continue;
        (name[0] == 'x' ? found.x : name[0] == 'y' ? found.y : found.z) = i;
    }
    return found;
}

bool is_writable_field_name(const std::string& name) noexcept {
    if (name.empty()) return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 32 || byte == 127) return false;
    }
    return true;
}

std::string format_pcd_header(const PcdHeader& header, bool keep_room) {
    std::string names, sizes, types, counts, viewpoint;
    for (const PcdField& field : header.fields) {
        names += ' ' + field.name;
        sizes += ' ' + std::to_string(field.size);
        types += ' ';
        types += field.type;
        counts += ' ' + std::to_string(field.count);
    }
    for (const double value : header.viewpoint) {
        char text[32];
        viewpoint += ' ';
        viewpoint.append(text, std::to_chars(text, text + sizeof text, value).ptr);  // shortest exact form
    }
    std::string out = "# .PCD v0.7 - Point Cloud Data file format\n";
    const auto line = [&out](const char* key, const std::string& values) {
        out += key;
        out += values;
        out += '\n';
    };
    line(keyword::version, " 0.7");
    line(keyword::fields, names);
    line(keyword::size, sizes);
    line(keyword::type, types);
    line(keyword::count, counts);
    const auto count = [keep_room](std::int32_t value) {
        std::string text = ' ' + std::to_string(value);
        if (keep_room && text.size() < 11) text.append(11 - text.size(), ' ');
        return text;
    };
    line(keyword::width, count(header.width));
    line(keyword::height, count(header.height));
    line(keyword::viewpoint, viewpoint);
    line(keyword::points, count(header.points));
    line(keyword::data, ' ' + header.data_type);
    return out;
}

}  // namespace vantrel
