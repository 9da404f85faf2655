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

// NumPy's type numbers for the element types of a PCD file, as its C API
// names them (NPY_BYTE ... NPY_DOUBLE); long is 64 bits on every target.
enum NpyType : int {
    npy_byte = 1,
    npy_ubyte = 2,
    npy_short = 3,
    npy_ushort = 4,
    npy_int = 5,
    npy_uint = 6,
    npy_long = 7,
    npy_ulong = 8,
    npy_float = 11,
    npy_double = 12,
};

template <typename T>
double read_element(const std::uint8_t* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof value);
    return static_cast<double>(value);  // exact for every element that float32 coordinates admit
}

// One table serves both the dtype of a field's view and the read of one
// element for coordinates that are gathered into a copy.
struct ElementType {
    char type;
    std::int32_t size;
    NpyType npy;
    double (*read)(const std::uint8_t*) noexcept;
};

constexpr ElementType element_types[] = {
    {'F', 4, npy_float, read_element<float>},        {'F', 8, npy_double, read_element<double>},
    {'I', 1, npy_byte, read_element<std::int8_t>},   {'I', 2, npy_short, read_element<std::int16_t>},
    {'I', 4, npy_int, read_element<std::int32_t>},   {'I', 8, npy_long, read_element<std::int64_t>},
    {'U', 1, npy_ubyte, read_element<std::uint8_t>}, {'U', 2, npy_ushort, read_element<std::uint16_t>},
    {'U', 4, npy_uint, read_element<std::uint32_t>}, {'U', 8, npy_ulong, read_element<std::uint64_t>},
};

// The table's entry for a TYPE letter (compared exactly) and SIZE, or null.
const ElementType* element_type(char type, std::int32_t size) noexcept {
    for (const ElementType& entry : element_types) {
        if (entry.type == type && entry.size == size) return &entry;
    }
    return nullptr;
}

bool inside_record(const PcdField& field, std::int64_t step) noexcept {
    return field.count >= 1 && field.offset >= 0 && field.offset + std::int64_t{field.size} * field.count <= step;
}

// The first element of each coordinate, point by point.
template <typename T>
void gather_coordinates(T* out, const std::uint8_t* records, std::int64_t points, std::int64_t step,
                        const PcdField* const (&xyz)[3], const ElementType* const (&types)[3]) noexcept {
    for (std::int64_t i = 0; i < points; ++i, records += step) {
        for (int k = 0; k < 3; ++k) *out++ = static_cast<T>(types[k]->read(records + xyz[k]->offset));
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
        return py::array(py::dtype(s == 4 ? npy_float : npy_double), {points, std::int64_t{3}}, {step, std::int64_t{s}},
                         records + x.offset, owner);
    }
    const ElementType* types[3] = {};
    bool narrow = true;
    for (int k = 0; k < 3; ++k) {
        const PcdField& field = *xyz[k];
        types[k] = element_type(field.type, field.size);
        if (types[k] == nullptr || !inside_record(field, step)) unsupported();
        narrow = narrow && ((field.type == 'F' && field.size == 4) || (field.type != 'F' && field.size <= 2));
    }
    if (narrow) {
        py::array_t<float> out({points, std::int64_t{3}});
        gather_coordinates(out.mutable_data(), records, points, step, xyz, types);
        return std::move(out);
    }
    py::array_t<double> out({points, std::int64_t{3}});
    gather_coordinates(out.mutable_data(), records, points, step, xyz, types);
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
        const ElementType* element = element_type(field.type, field.size);
        if (element == nullptr) unsupported();
        const py::dtype dtype(element->npy);
        // The header check keeps every field with an entry inside its record.
        const std::uint8_t* data = records + field.offset;
        py::array values = field.count == 1 ? py::array(dtype, {points}, {step}, data, owner)
                                            : py::array(dtype, {points, std::int64_t{field.count}},
                                                        {step, std::int64_t{field.size}}, data, owner);
        fields[py::str(field.name.c_str())] = std::move(values);
    }
    return {std::move(xyz), std::move(fields)};
}

}  // namespace vantrel
