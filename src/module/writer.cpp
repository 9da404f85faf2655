#include "module/writer.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "module/cloud_types.h"
#include "module/errors.h"
#include "module/numpy_types.h"
#include "module/signals.h"
#include "module/sources.h"
#include "pcd/ascii_writer.h"
#include "pcd/element_types.h"
#include "pcd/text.h"

namespace py = pybind11;

namespace vantrel {

namespace {

// numpy.asarray, in native byte order: what it gives is written as it is,
// never converted to another type.
py::array as_array(py::handle value) {
    py::array array = py::module_::import("numpy").attr("asarray")(value);
    if (array.dtype().byteorder() == '>') {
        array = array.attr("astype")(array.dtype().attr("newbyteorder")("="));
    }
    return array;
}

std::string shape_of(const py::array& array) {
    return py::str(array.attr("shape"));
}

// One field of the mapping: its element type from the dtype (TypeError for
// any other), COUNT from the shape.
WriteField field_of(const std::string& name, const py::array& array) {
    const ElementType* element = element_of_numpy(array.dtype().kind(), array.dtype().itemsize());
    if (element == nullptr) {
        throw py::type_error("field '" + name + "' has dtype " + std::string(py::str(array.dtype())) +
                             "; PCD files hold float32, float64, int8, int16, int32, int64, uint8, uint16, uint32 "
                             "and uint64");
    }
    if (array.ndim() != 1 && array.ndim() != 2) {
        throw py::value_error("field '" + name + "' has shape " + shape_of(array) +
                              "; it must be (N,) or (N, COUNT) with COUNT at least 1");
    }
    WriteField field;
    field.name = name;
    field.type = element->type;
    field.size = element->size;
    field.count = array.ndim() == 2 ? array.shape(1) : 1;
    field.points = array.shape(0);
    field.source = {static_cast<const std::uint8_t*>(array.data()), array.strides(0),
                    array.ndim() == 2 ? array.strides(1) : element->size};
    return field;
}

}  // namespace

// x, y and z: the columns of an (N, 3) float array, read where they lie.
void add_coordinates(py::handle points, WriteJob& job) {
    py::array array = as_array(points);
    const char kind = array.dtype().kind();
    const auto size = static_cast<std::int32_t>(array.dtype().itemsize());
    if (kind != 'f' || (size != 4 && size != 8)) {
        throw py::type_error("points must be float32 or float64, not " + std::string(py::str(array.dtype())));
    }
    if (array.ndim() != 2 || array.shape(1) != 3) {
        throw py::value_error("points must have shape (N, 3), not " + shape_of(array));
    }
    for (int k = 0; k < 3; ++k) {
        WriteField field;
        field.name = std::string(1, static_cast<char>('x' + k));
        field.size = size;
        field.points = array.shape(0);
        field.source = {static_cast<const std::uint8_t*>(array.data()) + k * array.strides(1), array.strides(0), size};
        field.coordinate = true;
        job.fields.push_back(std::move(field));
    }
    job.arrays.push_back(std::move(array));
}

std::optional<std::int64_t> grid_side(py::handle value, const char* what) {
    if (value.is_none()) return std::nullopt;
    return integer_argument(value, what);
}

namespace {

// Whatever stands in the viewpoint's place, as numbers: what is not a number
// is NaN, and the engine says what the viewpoint must be.
std::vector<double> viewpoint_values(py::handle value) {
    std::vector<double> values;
    if (!PySequence_Check(value.ptr()) || PyUnicode_Check(value.ptr())) return values;
    for (const py::handle item : py::reinterpret_borrow<py::sequence>(value)) {
        const double number = PyFloat_AsDouble(item.ptr());
        if (number == -1.0 && PyErr_Occurred()) {
            pass_over_error();
            values.push_back(std::nan(""));
        } else {
            values.push_back(number);
        }
    }
    return values;
}

}  // namespace

void take_options(py::handle data, py::handle width, py::handle height, py::handle viewpoint, WriteOptions& options) {
    if (!PyUnicode_Check(data.ptr())) throw py::type_error("data must be a str, not " + type_name(data));
    options.data = data.cast<std::string>();
    options.width = grid_side(width, "width");
    options.height = grid_side(height, "height");
    if (!viewpoint.is_none()) options.viewpoint = viewpoint_values(viewpoint);
}

void warn_lossy(const PcdHeader& header, const std::vector<FieldSource>& sources, std::int64_t n,
                const std::optional<std::string>& name) {
    if (header.encoding != Encoding::ascii) return;
    std::vector<std::int64_t> lossy;
    {
        const py::gil_scoped_release release;
        lossy = lossy_in_ascii(header, sources, n);
    }
    for (std::size_t f = 0; f < lossy.size(); ++f) {
        if (lossy[f] == 0) continue;
        warn_data("ascii cannot keep the bits of " + std::to_string(lossy[f]) + " value" + (lossy[f] == 1 ? "" : "s") +
                      " of field " + vantrel::quoted(header.fields[f].name) +
                      ": NaNs with a payload (such as packed colors stored as F 4) are written as nan; write binary or "
                      "binary_compressed, or store the field as U 4",
                  name);
    }
}

namespace {
py::object* field_adapter = nullptr;  // lives as long as the process: never freed after the interpreter
}  // namespace

void set_field_adapter(py::object adapter) {
    if (field_adapter == nullptr) field_adapter = new py::object();
    *field_adapter = std::move(adapter);
}

void add_fields(py::handle given, WriteJob& job, bool group) {
    if (given.is_none()) return;
    py::object fields = py::reinterpret_borrow<py::object>(given);
    if (py::isinstance<PointCloudObject>(given)) fields = given.cast<const PointCloudObject&>().fields;
    if (!py::isinstance(fields, py::module_::import("collections.abc").attr("Mapping"))) {
        // A pandas DataFrame or a structured array: its columns are the fields.
        py::object columns = field_adapter ? (*field_adapter)(fields, group) : py::none();
        if (columns.is_none()) {
            // The first thing people type: write_pcd("x.pcd", xyz).
            const bool xyz =
                py::isinstance<py::array>(fields) && py::array(fields).ndim() == 2 && py::array(fields).shape(1) == 3;
            throw py::type_error(
                "fields must be a mapping of names to arrays, a PointCloud, a pandas DataFrame or a "
                "NumPy structured array, not " +
                type_name(fields) +
                (xyz ? "; an (N, 3) array of x, y and z goes to points=, as in write_pcd(target, points=xyz)" : ""));
        }
        fields = std::move(columns);
    }
    for (const py::handle item : fields.attr("items")()) {
        const py::handle key = item[py::int_(0)];
        if (!PyUnicode_Check(key.ptr())) throw py::type_error("field names must be str, not " + type_name(key));
        const std::string name = key.cast<std::string>();
        if (is_padding_name(name)) continue;  // its bytes hold nothing to keep
        py::array array = as_array(item[py::int_(1)]);
        job.fields.push_back(field_of(name, array));
        job.arrays.push_back(std::move(array));
    }
}

WriteJob build_write(const py::object& fields, const py::object& points, const py::object& data,
                     const py::object& width, const py::object& height, const py::object& viewpoint, bool group) {
    WriteJob job;
    if (py::isinstance<PointCloudObject>(fields)) {
        const PcdHeader& source = fields.cast<const PointCloudObject&>().pcd_header();
        job.options.cloud_grid = std::array<std::int32_t, 2>{source.width, source.height};
        job.options.viewpoint = std::vector<double>(source.viewpoint.begin(), source.viewpoint.end());
    }
    if (!points.is_none()) add_coordinates(points, job);
    add_fields(fields, job, group);
    take_options(data, width, height, viewpoint, job.options);
    return job;
}

void write_pcd_from_python(const py::object& target, const py::object& fields, const py::object& points,
                           const py::object& data, const py::object& width, const py::object& height,
                           const py::object& viewpoint, bool group) {
    const WriteJob job = build_write(fields, points, data, width, height, viewpoint, group);
    const PcdHeader header = plan_pcd_header(job.fields, check_write_fields(job.fields), job.options);
    std::vector<FieldSource> sources;
    for (const WriteField& field : job.fields) sources.push_back(field.source);
    warn_lossy(header, sources, header.points, source_name(target));  // before the target is touched
    Target output(target, "write_pcd");
    output.run([&](ByteSink& sink) { write_pcd(header, sources, sink); });
    output.commit();
}

}  // namespace vantrel
