#include "pcd/pcd_writer.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>

#include "pcd/compressed_writer.h"
#include "pcd/element_types.h"
#include "pcd/text.h"

namespace vantrel {
namespace {

[[noreturn]] void refuse(const std::string& what) {
    throw std::invalid_argument(what);
}

}  // namespace

std::int64_t check_write_fields(const std::vector<WriteField>& fields) {
    if (fields.empty()) refuse("nothing to write: a PCD file needs at least one field, or points");
    std::set<std::string> names;
    for (const WriteField& field : fields) {
        const std::string name = vantrel::quoted(field.name);
        if (!is_writable_field_name(field.name)) {
            refuse("field name " + name + " is empty or holds whitespace or a control character");
        }
        if (!names.insert(field.name).second) {
            const bool by_points = std::any_of(fields.begin(), fields.end(), [&](const WriteField& f) {
                return f.coordinate && f.name == field.name;
            });
            refuse("field " + name + " is given twice" + (by_points ? ": as a field and by points" : ""));
        }
        if (!is_element_type(field.type, field.size)) refuse("field " + name + " has no PCD element type");
        if (field.count < 1) {
            refuse("field " + name + " has COUNT " + std::to_string(field.count) + "; it needs COUNT at least 1");
        }
        if (field.count > int32_max) refuse("field " + name + " has more than 2147483647 elements per point");
    }
    const WriteField& first = fields.front();
    for (const WriteField& field : fields) {
        if (field.points != first.points) {
            refuse("field " + vantrel::quoted(field.name) + " has " + std::to_string(field.points) + " points, but " +
                   vantrel::quoted(first.name) + " has " + std::to_string(first.points));
        }
    }
    return first.points;
}

namespace {

void check_points(std::int64_t points) {
    if (points < 0) refuse("the number of points cannot be negative");
    if (points > int32_max) refuse("a PCD file holds at most 2147483647 points");
}

void check_data(const std::string& data) {
    if (encoding_named(data) == Encoding::other) {
        refuse("data must be 'ascii', 'binary' or 'binary_compressed', not " + vantrel::quoted(data));
    }
}

std::optional<std::int32_t> grid_side(const std::optional<std::int64_t>& value, const char* what) {
    if (value && (*value < 0 || *value > int32_max)) refuse(std::string(what) + " must be between 0 and 2147483647");
    return value ? std::optional<std::int32_t>(static_cast<std::int32_t>(*value)) : std::nullopt;
}

// WIDTH and HEIGHT for `points` points: as given (one of them given, the
// other follows when it can), else the cloud's own grid when it holds them,
// else points x 1.
std::array<std::int32_t, 2> grid_for(const WriteOptions& options, std::int64_t points) {
    const auto n = static_cast<std::int32_t>(points);
    const std::optional<std::int32_t> width = grid_side(options.width, "width");
    const std::optional<std::int32_t> height = grid_side(options.height, "height");
    std::array<std::int32_t, 2> grid = {n, 1};
    if (width || height) {
        grid = {width.value_or(n), height.value_or(1)};
        if (!width && *height > 0 && n % *height == 0) grid[0] = n / *height;
        if (!height && *width > 0 && n % *width == 0) grid[1] = n / *width;
    } else if (options.cloud_grid && std::int64_t{(*options.cloud_grid)[0]} * (*options.cloud_grid)[1] == points) {
        grid = *options.cloud_grid;
    }
    if (std::int64_t{grid[0]} * grid[1] != points) {
        refuse("width x height (" + std::to_string(grid[0]) + " x " + std::to_string(grid[1]) +
               ") must equal the number of points (" + std::to_string(points) + ")");
    }
    return grid;
}

std::array<double, 7> viewpoint_of(const WriteOptions& options) {
    std::array<double, 7> viewpoint = default_viewpoint;
    if (options.viewpoint) {
        const std::vector<double>& values = *options.viewpoint;
        if (values.size() != viewpoint.size() ||
            !std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); })) {
            refuse("viewpoint must be 7 finite numbers (tx ty tz qw qx qy qz)");
        }
        std::copy(values.begin(), values.end(), viewpoint.begin());
    }
    return viewpoint;
}

}  // namespace

void check_write_options(const WriteOptions& options, std::optional<std::int64_t> points) {
    if (points) check_points(*points);
    check_data(options.data);
    grid_side(options.width, "width");
    grid_side(options.height, "height");
    if (points) grid_for(options, *points);
    viewpoint_of(options);
}

PcdHeader plan_pcd_header(const std::vector<WriteField>& fields, std::int64_t points, const WriteOptions& options) {
    PcdHeader header;
    for (const WriteField& field : fields) {
        header.fields.push_back(PcdField{field.name, field.type, field.size, static_cast<std::int32_t>(field.count)});
    }
    check_points(points);
    header.points = static_cast<std::int32_t>(points);
    check_data(options.data);
    header.data_type = options.data;
    header.encoding = encoding_named(options.data);
    const std::array<std::int32_t, 2> grid = grid_for(options, points);
    header.width = grid[0];
    header.height = grid[1];
    header.viewpoint = viewpoint_of(options);
    lay_out_record(header);
    if (header.encoding == Encoding::binary_compressed) check_compressed_image(header.points * header.point_step);
    return header;
}

PcdWriter::PcdWriter(ByteSink& sink, const PcdHeader& header, bool total_known)
    : section_(make_section_writer(sink, header, total_known)) {}

PcdWriter::~PcdWriter() = default;

void PcdWriter::write(const std::vector<FieldSource>& sources, std::int64_t n) {
    if (n <= 0) return;
    section_->write(sources, n, written_);
    written_ += n;
}

void PcdWriter::finish(const PcdHeader& header) {
    section_->finish(header, written_);
}

void write_pcd(const PcdHeader& header, const std::vector<FieldSource>& sources, ByteSink& sink) {
    PcdWriter writer(sink, header, true);
    writer.write(sources, header.points);
    writer.finish(header);
}

}  // namespace vantrel
