#include "module/writer.h"

#include <cmath>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/numpy.h>

#include "module/cloud_types.h"
#include "module/errors.h"
#include "module/sources.h"
#include "pcd/file_output.h"
#include "pcd/pcd_writer.h"
#include "result/element_types.h"

namespace py = pybind11;

namespace vantrel {

const char* const write_pcd_doc = R"doc(
Write a PCD file.

Parameters:
    target: a path (str, bytes or os.PathLike), or a binary file object with write().
        A path is replaced only once the new file is complete: on any failure it
        keeps its old content, or stays absent.
    fields: a mapping from name to array, written in the mapping's order, or a
        PointCloud (whose header also gives WIDTH, HEIGHT and VIEWPOINT). Arrays
        are (N,) or (N, COUNT), of dtype float32, float64, int8, int16, int32,
        int64, uint8, uint16, uint32 or uint64. Fields named "_" are padding in
        PCD files and are not written.
    points: an (N, 3) float32 or float64 array, written first as x, y and z.
    data: "ascii", "binary" or "binary_compressed".
    width, height: the grid of an organized cloud; WIDTH x HEIGHT must be N.
        By default WIDTH N and HEIGHT 1.
    viewpoint: 7 finite numbers (tx ty tz qw qx qy qz); by default 0 0 0 1 0 0 0.

Every file written reads back bit for bit with read_pcd and load_pcd (in ascii,
NaN payloads other than the sign are not kept).
)doc";

namespace {

constexpr std::int64_t int32_max = std::numeric_limits<std::int32_t>::max();

// One field to write: its header entry, where its values lie, and the array
// that keeps them alive.
struct Column {
    PcdField field;
    FieldSource source;
    py::array array;
};

// numpy.asarray, in native byte order: what it gives is written as it is,
// never converted to another type.
py::array as_array(py::handle value) {
    py::array array = py::module_::import("numpy").attr("asarray")(value);
    if (array.dtype().byteorder() == '>') {
        array = array.attr("astype")(array.dtype().attr("newbyteorder")("="));
    }
    return array;
}

// The element type of an array's dtype, from the one table of them.
const ElementType* element_of(const py::array& array) {
    const char kind = array.dtype().kind();
    const char letter = kind == 'f' ? 'F' : kind == 'i' ? 'I' : kind == 'u' ? 'U' : '\0';
    return element_type(letter, static_cast<std::int32_t>(array.dtype().itemsize()));
}

Column column_of(const std::string& name, py::handle value) {
    py::array array = as_array(value);
    const ElementType* element = element_of(array);
    if (element == nullptr) {
        throw py::type_error("field '" + name + "' has dtype " + std::string(py::str(array.dtype())) +
                             "; PCD files hold float32, float64, int8, int16, int32, int64, uint8, uint16, uint32 "
                             "and uint64");
    }
    if (array.ndim() != 1 && !(array.ndim() == 2 && array.shape(1) >= 1)) {
        throw py::value_error("field '" + name + "' has shape " + std::string(py::str(array.attr("shape"))) +
                              "; it must be (N,) or (N, COUNT) with COUNT at least 1");
    }
    if (array.ndim() == 2 && array.shape(1) > int32_max)
        throw py::value_error("field '" + name + "' has too many columns");
    Column column;
    column.field.name = name;
    column.field.type = element->type;
    column.field.size = element->size;
    column.field.count = array.ndim() == 2 ? static_cast<std::int32_t>(array.shape(1)) : 1;
    column.source.data = static_cast<const std::uint8_t*>(array.data());
    column.source.point_stride = array.strides(0);
    column.source.element_stride = array.ndim() == 2 ? array.strides(1) : element->size;
    column.array = std::move(array);
    return column;
}

// x, y and z: the columns of an (N, 3) float array, read where they lie.
std::vector<Column> coordinate_columns(py::handle points) {
    py::array array = as_array(points);
    const char kind = array.dtype().kind();
    const auto size = array.dtype().itemsize();
    if (kind != 'f' || (size != 4 && size != 8)) {
        throw py::type_error("points must be float32 or float64, not " + std::string(py::str(array.dtype())));
    }
    if (array.ndim() != 2 || array.shape(1) != 3) {
        throw py::value_error("points must have shape (N, 3), not " + std::string(py::str(array.attr("shape"))));
    }
    std::vector<Column> columns;
    for (int k = 0; k < 3; ++k) {
        Column column;
        column.field.name = std::string(1, static_cast<char>('x' + k));
        column.field.type = 'F';
        column.field.size = static_cast<std::int32_t>(size);
        column.source.data = static_cast<const std::uint8_t*>(array.data()) + k * array.strides(1);
        column.source.point_stride = array.strides(0);
        column.source.element_stride = static_cast<std::int64_t>(size);
        column.array = array;
        columns.push_back(std::move(column));
    }
    return columns;
}

std::int32_t grid_size(py::handle value, const char* what) {
    const py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!number) throw py::type_error(std::string(what) + " must be an integer, not " + type_name(value));
    const auto n = number.cast<long long>();
    if (n < 0 || n > int32_max) throw py::value_error(std::string(what) + " must be between 0 and 2147483647");
    return static_cast<std::int32_t>(n);
}

std::array<double, 7> viewpoint_of(py::handle value) {
    std::array<double, 7> viewpoint{};
    const char* const wrong = "viewpoint must be 7 finite numbers (tx ty tz qw qx qy qz)";
    if (!PySequence_Check(value.ptr()) || PyUnicode_Check(value.ptr()) || py::len(value) != 7) {
        throw py::value_error(wrong);
    }
    const py::sequence values = py::reinterpret_borrow<py::sequence>(value);
    for (std::size_t i = 0; i < 7; ++i) {
        const double number = PyFloat_AsDouble(values[i].ptr());
        if (number == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            throw py::value_error(wrong);
        }
        if (!std::isfinite(number)) throw py::value_error(wrong);
        viewpoint[i] = number;
    }
    return viewpoint;
}

// Writes to a Python binary file object, taking the GIL for each call.
// The first exception stops the writer and is kept for the caller to raise.
class PySink : public ByteSink {
public:
    explicit PySink(py::object file) : file_(std::move(file)) {}

    void write(const char* data, std::size_t size) override {
        py::gil_scoped_acquire acquire;
        try {
            while (size > 0) {
                // A copy: a file object may keep what it is given beyond the call.
                const py::bytes chunk(data, size);
                const py::object written = file_.attr("write")(chunk);
                // None means all of it, as for most file-likes; a raw file may take part.
                const std::size_t done = written.is_none() ? size : written.cast<std::size_t>();
                if (done == 0 || done > size) {
                    throw py::value_error("write() returned " + std::to_string(done) + " for " + std::to_string(size) +
                                          " bytes");
                }
                data += done;
                size -= done;
            }
        } catch (...) {
            error_ = std::current_exception();
            throw Stopped();
        }
    }

    void rethrow() const {
        if (error_) std::rethrow_exception(error_);
    }

    struct Stopped : std::exception {};

private:
    py::object file_;
    std::exception_ptr error_;
};

}  // namespace

void write_pcd(const py::object& target, const py::object& fields, const py::object& points, const py::object& data,
               const py::object& width, const py::object& height, const py::object& viewpoint) {
    PcdHeader header;
    std::optional<std::int32_t> cloud_width, cloud_height;

    // The fields: a PointCloud, a mapping, or nothing but the points.
    py::object mapping = py::dict();
    if (py::isinstance<PointCloudObject>(fields)) {
        const auto& cloud = fields.cast<const PointCloudObject&>();
        const PcdHeader& source = cloud.pcd_header();
        mapping = cloud.fields;
        header.viewpoint = source.viewpoint;
        // A grid that does not add up to POINTS is not a grid.
        if (std::int64_t{source.width} * source.height == source.points) {
            cloud_width = source.width;
            cloud_height = source.height;
        }
    } else if (!fields.is_none()) {
        if (!py::isinstance(fields, py::module_::import("collections.abc").attr("Mapping"))) {
            throw py::type_error("fields must be a mapping of names to arrays, or a PointCloud, not " +
                                 type_name(fields));
        }
        mapping = py::reinterpret_borrow<py::object>(fields);
    }
    std::vector<Column> columns;
    if (!points.is_none()) columns = coordinate_columns(points);
    for (const py::handle item : mapping.attr("items")()) {
        const py::handle key = item[py::int_(0)];
        if (!PyUnicode_Check(key.ptr())) throw py::type_error("field names must be str, not " + type_name(key));
        const std::string name = key.cast<std::string>();
        if (name == "_") continue;  // padding: its bytes hold nothing to keep
        if (!is_writable_field_name(name)) {
            throw py::value_error("field name " + std::string(py::repr(key)) +
                                  " is empty or holds whitespace or a control character");
        }
        for (const Column& column : columns) {
            if (column.field.name == name) {
                throw py::value_error("field '" + name + "' is given twice: as a field and by points");
            }
        }
        columns.push_back(column_of(name, item[py::int_(1)]));
    }
    if (columns.empty()) throw py::value_error("write_pcd needs at least one field, or points");
    const py::ssize_t n = columns.front().array.shape(0);
    for (const Column& column : columns) {
        if (column.array.shape(0) != n) {
            throw py::value_error("field '" + column.field.name + "' has " + std::to_string(column.array.shape(0)) +
                                  " points, but '" + columns.front().field.name + "' has " + std::to_string(n));
        }
    }
    if (n > int32_max) throw py::value_error("a PCD file holds at most 2147483647 points");
    header.points = static_cast<std::int32_t>(n);

    if (!PyUnicode_Check(data.ptr())) throw py::type_error("data must be a str, not " + type_name(data));
    header.data_type = data.cast<std::string>();
    if (header.data_type != data_ascii && header.data_type != data_binary &&
        header.data_type != data_binary_compressed) {
        throw py::value_error("data must be 'ascii', 'binary' or 'binary_compressed', not " +
                              std::string(py::repr(data)));
    }
    header.width = width.is_none() ? cloud_width.value_or(header.points) : grid_size(width, "width");
    header.height = height.is_none() ? cloud_height.value_or(1) : grid_size(height, "height");
    // One of them given: the other follows from N when it can.
    if (width.is_none() && !height.is_none() && header.height > 0 && header.points % header.height == 0) {
        header.width = header.points / header.height;
    } else if (height.is_none() && !width.is_none() && header.width > 0 && header.points % header.width == 0) {
        header.height = header.points / header.width;
    }
    if (std::int64_t{header.width} * header.height != header.points) {
        throw py::value_error("width x height (" + std::to_string(header.width) + " x " +
                              std::to_string(header.height) + ") must equal the number of points (" +
                              std::to_string(header.points) + ")");
    }
    if (!viewpoint.is_none()) header.viewpoint = viewpoint_of(viewpoint);

    std::vector<FieldSource> sources;
    for (const Column& column : columns) {
        header.fields.push_back(column.field);
        sources.push_back(column.source);
    }
    try {
        prepare_pcd_header(header);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    }

    // The target: a path, replaced whole, or a binary file object.
    if (const std::optional<std::string> name = path_bytes(target)) {
        try {
            py::gil_scoped_release release;
            FileOutput output(*name);
            write_pcd(header, sources, output);
            output.commit();
        } catch (const WriteError& e) {
            raise_write_error(e, target);
        }
        return;
    }
    check_binary_file(target, "write_pcd", "wb", {"write"});
    PySink sink(py::reinterpret_borrow<py::object>(target));
    try {
        py::gil_scoped_release release;
        write_pcd(header, sources, sink);
    } catch (const PySink::Stopped&) {
        sink.rethrow();
    }
}

}  // namespace vantrel
