#include "module/result_arrays.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "module/numpy_types.h"
#include "pcd/byte_ranges.h"

namespace py = pybind11;

namespace vantrel {
namespace {

void free_point_buffer(void* buffer) noexcept {
    delete static_cast<PointBuffer*>(buffer);
}

[[noreturn]] void unsupported() {
    throw std::runtime_error("Unsupported PCD type/size");
}

const ElementType& supported_element(const PcdField& field) {
    const ElementType* element = element_type(field.type, field.size);
    if (element == nullptr) unsupported();
    return *element;
}

// The first element of each coordinate, point by point.
template <typename T>
void gather_coordinates(T* out, const std::uint8_t* records, std::int64_t points, std::int64_t step,
                        const PcdField* const (&xyz)[3], const ElementType* const (&types)[3]) noexcept {
    for (std::int64_t i = 0; i < points; ++i, records += step) {
        for (int k = 0; k < 3; ++k) {
            *out++ = static_cast<T>(element_as_double(types[k]->element, records + xyz[k]->offset));
        }
    }
}

// The view of one field: (N,) for COUNT 1, (N, COUNT) above. The header
// checks keep every field handed out inside its record.
py::array field_view(const PcdHeader& header, const PcdField& field, const OwnedRecords& records) {
    const py::dtype dtype(npy_type(supported_element(field).element));
    const std::int64_t points = header.points;
    const std::int64_t step = header.point_step;
    const std::uint8_t* data = records.data + field.offset;
    if (field.count == 1) return py::array(dtype, {points}, {step}, data, records.owner);
    return py::array(dtype, {points, std::int64_t{field.count}}, {step, std::int64_t{field.size}}, data, records.owner);
}

// The fields that make_records places, in header order.
std::vector<const PcdField*> placeable_fields(const PcdHeader& header) {
    std::unordered_map<std::string, std::size_t> last;  // by dict key, so names cut at a NUL collide too
    for (std::size_t i = 0; i < header.fields.size(); ++i) last[header.fields[i].name.c_str()] = i;
    TakenRanges placed;
    std::vector<const PcdField*> chosen;
    for (std::size_t i = 0; i < header.fields.size(); ++i) {
        const PcdField& field = header.fields[i];
        if (field.count < 1 || last[field.name.c_str()] != i) continue;
        if (placed.take({field.offset, field.end()})) chosen.push_back(&field);
    }
    return chosen;
}

}  // namespace

OwnedRecords hand_over(PointBuffer&& buffer) {
    auto owned = std::make_unique<PointBuffer>(std::move(buffer));
    OwnedRecords records;
    records.data = owned->data();
    records.owner = py::capsule(owned.get(), free_point_buffer);
    owned.release();  // the capsule owns it now
    return records;
}

py::str field_key(const PcdField& field) {
    return py::str(field.name.c_str());
}

py::array make_points(const PcdHeader& header, const Coordinates& coordinates, const OwnedRecords& records) {
    const std::int64_t step = header.point_step;
    const std::int64_t points = header.points;
    const PcdField* const xyz[3] = {&header.fields[static_cast<std::size_t>(coordinates.x)],
                                    &header.fields[static_cast<std::size_t>(coordinates.y)],
                                    &header.fields[static_cast<std::size_t>(coordinates.z)]};
    const PcdField& x = *xyz[0];
    const PcdField& y = *xyz[1];
    const PcdField& z = *xyz[2];
    const std::int32_t s = x.size;
    const bool consecutive = (s == 4 || s == 8) && x.type == type_float && y.type == type_float &&
                             z.type == type_float && y.size == s && z.size == s && x.count == 1 && y.count == 1 &&
                             z.count == 1 && y.offset == x.offset + s && z.offset == x.offset + 2 * s &&
                             x.offset >= 0 && x.offset + 3 * s <= step;
    if (consecutive) {
        return py::array(py::dtype(npy_type(s == 4 ? Element::f32 : Element::f64)), {points, std::int64_t{3}},
                         {step, std::int64_t{s}}, records.data + x.offset, records.owner);
    }
    const ElementType* types[3] = {};
    bool narrow = true;
    for (int k = 0; k < 3; ++k) {
        const PcdField& field = *xyz[k];
        types[k] = &supported_element(field);
        if (!lies_inside_record(field, step)) unsupported();
        narrow =
            narrow && ((field.type == type_float && field.size == 4) || (field.type != type_float && field.size <= 2));
    }
    if (narrow) {
        py::array_t<float> out({points, std::int64_t{3}});
        gather_coordinates(out.mutable_data(), records.data, points, step, xyz, types);
        return std::move(out);
    }
    py::array_t<double> out({points, std::int64_t{3}});
    gather_coordinates(out.mutable_data(), records.data, points, step, xyz, types);
    return std::move(out);
}

py::dict make_fields(const PcdHeader& header, const OwnedRecords& records, bool coordinates) {
    py::dict fields;
    for (const PcdField& field : header.fields) {
        if (field.count < 1 || (!coordinates && is_coordinate_name(field.name))) continue;
        py::array values = field_view(header, field, records);
        fields[field_key(field)] = std::move(values);
    }
    return fields;
}

py::array make_records(const PcdHeader& header, const OwnedRecords& records) {
    py::list names, formats, offsets;
    for (const PcdField* field : placeable_fields(header)) {
        py::dtype element(npy_type(supported_element(*field).element));
        if (field->count > 1) element = py::dtype::from_args(py::make_tuple(element, py::make_tuple(field->count)));
        names.append(field_key(*field));
        formats.append(std::move(element));
        offsets.append(field->offset);
    }
    const py::dtype dtype(names, formats, offsets, static_cast<py::ssize_t>(header.point_step));
    const std::int64_t points = header.points;
    return py::array(dtype, {points}, {header.point_step}, records.data, records.owner);
}

std::pair<py::array, py::dict> build_result(PcdLoad&& load) {
    const OwnedRecords records = hand_over(std::move(load.buffer));
    py::array points = make_points(load.header, load.coordinates, records);
    py::dict fields = make_fields(load.header, records, false);
    return {std::move(points), std::move(fields)};
}

}  // namespace vantrel
