#include "result/result_arrays.h"

#include <cstring>
#include <memory>
#include <stdexcept>

namespace py = pybind11;

namespace vantrel {
namespace {

void free_point_buffer(void* buffer) noexcept {
    delete static_cast<PointBuffer*>(buffer);
}

[[noreturn]] void unsupported() {
    throw std::runtime_error("Unsupported PCD type/size");
}

// NumPy type number for a TYPE letter and SIZE, or -1 when unsupported.
int dtype_number(char type, std::int32_t size) noexcept {
    switch (type) {
        case 'F': return size == 4 ? 11 : size == 8 ? 12 : -1;
        case 'I': return size == 1 ? 1 : size == 2 ? 3 : size == 4 ? 5 : size == 8 ? 7 : -1;
        case 'U': return size == 1 ? 2 : size == 2 ? 4 : size == 4 ? 6 : size == 8 ? 8 : -1;
        default: return -1;
    }
}

bool inside_record(const PcdField& field, std::int64_t step) noexcept {
    return field.count >= 1 && field.offset >= 0 && field.offset + std::int64_t{field.size} * field.count <= step;
}

template <typename T>
T load_as(const std::uint8_t* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// The first element of a field whose TYPE and SIZE are in the dtype table.
double element(const std::uint8_t* p, char type, std::int32_t size) noexcept {
    switch (type) {
        case 'F': return size == 4 ? load_as<float>(p) : load_as<double>(p);
        case 'I':
            switch (size) {
                case 1: return load_as<std::int8_t>(p);
                case 2: return load_as<std::int16_t>(p);
                case 4: return load_as<std::int32_t>(p);
                default: return static_cast<double>(load_as<std::int64_t>(p));
            }
        default:
            switch (size) {
                case 1: return load_as<std::uint8_t>(p);
                case 2: return load_as<std::uint16_t>(p);
                case 4: return load_as<std::uint32_t>(p);
                default: return static_cast<double>(load_as<std::uint64_t>(p));
            }
    }
}

template <typename T>
void gather_coordinates(T* out, const std::uint8_t* records, std::int64_t points, std::int64_t step,
                        const PcdField* const (&xyz)[3]) noexcept {
    for (std::int64_t i = 0; i < points; ++i, records += step) {
        for (const PcdField* field : xyz) {
            // Exact for every element that the float32 case admits.
            *out++ = static_cast<T>(element(records + field->offset, field->type, field->size));
        }
    }
}

py::array make_points(const PcdLoad& load, const std::uint8_t* records, const py::capsule& owner) {
    const PcdHeader& header = load.header;
    const std::int64_t step = header.point_step;
    const std::int64_t points = header.points;
    const PcdField* const xyz[3] = {&header.fields[static_cast<std::size_t>(load.x_index)],
                                    &header.fields[static_cast<std::size_t>(load.y_index)],
                                    &header.fields[static_cast<std::size_t>(load.z_index)]};
    const PcdField& x = *xyz[0];
    const PcdField& y = *xyz[1];
    const PcdField& z = *xyz[2];
    const std::int32_t s = x.size;
    const bool consecutive = (s == 4 || s == 8) && x.type == 'F' && y.type == 'F' && z.type == 'F' && y.size == s &&
                             z.size == s && x.count == 1 && y.count == 1 && z.count == 1 && y.offset == x.offset + s &&
                             z.offset == x.offset + 2 * s && x.offset >= 0 && x.offset + 3 * s <= step;
    if (consecutive) {
        return py::array(py::dtype(s == 4 ? 11 : 12), {points, std::int64_t{3}}, {step, std::int64_t{s}},
                         records + x.offset, owner);
    }
    bool narrow = true;
    for (const PcdField* field : xyz) {
        if (dtype_number(field->type, field->size) < 0 || !inside_record(*field, step)) unsupported();
        narrow = narrow && ((field->type == 'F' && field->size == 4) || (field->type != 'F' && field->size <= 2));
    }
    if (narrow) {
        py::array_t<float> out({points, std::int64_t{3}});
        gather_coordinates(out.mutable_data(), records, points, step, xyz);
        return std::move(out);
    }
    py::array_t<double> out({points, std::int64_t{3}});
    gather_coordinates(out.mutable_data(), records, points, step, xyz);
    return std::move(out);
}

}  // namespace

std::pair<py::array, py::dict> build_result(PcdLoad&& load) {
    auto buffer = std::make_unique<PointBuffer>(std::move(load.buffer));
    const std::uint8_t* records = buffer->data();
    py::capsule owner(buffer.get(), free_point_buffer);
    buffer.release();  // the capsule owns it now

    const PcdHeader& header = load.header;
    const std::int64_t points = header.points;
    const std::int64_t step = header.point_step;
    py::array xyz = make_points(load, records, owner);

    py::dict fields;
    for (const PcdField& field : header.fields) {
        if (!has_field_entry(field)) continue;
        const int number = dtype_number(field.type, field.size);
        if (number < 0) unsupported();
        // The header check keeps every field with an entry inside its record.
        const std::uint8_t* data = records + field.offset;
        py::array values = field.count == 1 ? py::array(py::dtype(number), {points}, {step}, data, owner)
                                            : py::array(py::dtype(number), {points, std::int64_t{field.count}},
                                                        {step, std::int64_t{field.size}}, data, owner);
        fields[py::str(field.name.c_str())] = std::move(values);
    }
    return {std::move(xyz), std::move(fields)};
}

}  // namespace vantrel
