// PointCloud.from_records: a cloud over records that are already in memory
// (a ROS message's data, a structured array), without a copy when they lie
// contiguous.
#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/numpy.h>

#include "module/cloud_types.h"
#include "module/docstrings.h"
#include "module/numpy_types.h"
#include "module/py_files.h"
#include "module/writer.h"
#include "pcd/byte_ranges.h"
#include "pcd/pcd_writer.h"

namespace py = pybind11;

namespace vantrel {
namespace {

// One member of a structured dtype as a field: its element type, its COUNT
// (a 1-D subarray) and its offset. The member's bytes are checked to lie in
// the record.
PcdField member_field(const std::string& name, const py::object& member, std::int64_t offset, std::int64_t itemsize) {
    py::object element = member;
    std::int64_t count = 1;
    const py::object sub = member.attr("subdtype");
    if (!sub.is_none()) {
        element = sub[py::int_(0)];
        const py::tuple shape = sub[py::int_(1)];
        if (shape.size() != 1) {
            throw py::value_error("field '" + name + "' has shape " + std::string(py::str(shape)) +
                                  "; a field's elements are one row (COUNT)");
        }
        count = shape[0].cast<std::int64_t>();
    }
    const auto kind = element.attr("kind").cast<std::string>();
    const ElementType* type = element_of_numpy(kind.empty() ? '\0' : kind[0], element.attr("itemsize").cast<int>());
    if (type == nullptr || element.attr("fields").ptr() != Py_None) {
        throw py::type_error("field '" + name + "' has dtype " + std::string(py::str(member)) +
                             "; PCD files hold float32, float64, int8, int16, int32, int64, uint8, uint16, uint32 "
                             "and uint64");
    }
    if (!element.attr("isnative").cast<bool>()) {
        throw py::value_error("field '" + name +
                              "' is not in this machine's byte order; convert the records first, "
                              "as records.astype(records.dtype.newbyteorder('='))");
    }
    PcdField field{name, type->type, type->size, static_cast<std::int32_t>(count), offset};
    if (count < 1 || count > INT32_MAX || offset < 0 || field.end() > itemsize) {
        throw py::value_error("field '" + name + "' does not lie inside the record of " + std::to_string(itemsize) +
                              " bytes");
    }
    return field;
}

// The fields of the dtype in its order, padding ("_") left out; fields that
// share bytes are refused, as a PCD header cannot say so.
std::vector<PcdField> record_fields(const py::dtype& dtype) {
    const py::object names = dtype.attr("names");
    if (names.is_none()) {
        throw py::type_error("records must be a NumPy structured array (a dtype with named fields), not of dtype " +
                             std::string(py::str(dtype)));
    }
    const py::dict members = dtype.attr("fields");
    std::vector<PcdField> fields;
    TakenRanges taken;
    for (const py::handle name : names) {
        const auto text = name.cast<std::string>();
        if (is_padding_name(text)) continue;
        const py::tuple member = members[name];
        PcdField field = member_field(text, member[0], member[1].cast<std::int64_t>(), dtype.itemsize());
        if (!taken.take({field.offset, field.end()})) {
            throw py::value_error("field '" + text + "' shares bytes with another field");
        }
        fields.push_back(std::move(field));
    }
    return fields;
}

// The header of the records: the grid and viewpoint checked as a write
// checks them, the fields where the dtype puts them.
PcdHeader records_header(std::vector<PcdField> fields, std::int64_t points, std::int64_t itemsize,
                         WriteOptions& options) {
    std::vector<WriteField> planned;
    for (const PcdField& field : fields) {
        WriteField write;
        write.name = field.name;
        write.type = field.type;
        write.size = field.size;
        write.count = field.count;
        write.points = points;
        planned.push_back(std::move(write));
    }
    if (planned.empty()) throw py::value_error("the records hold no field");
    check_write_fields(planned);
    options.data = encoding_name(Encoding::binary);
    PcdHeader header = plan_pcd_header(planned, points, options);
    header.fields = std::move(fields);
    header.point_step = itemsize;
    header.version = "0.7";
    return header;
}

py::object from_records(const py::object& given, const py::object& width, const py::object& height,
                        const py::object& viewpoint) {
    const py::module_ numpy = py::module_::import("numpy");
    py::array records = numpy.attr("ascontiguousarray")(given);  // a view when they already are
    WriteOptions options;
    take_options(py::str("binary"), width, height, viewpoint, options);
    if (records.ndim() == 2) {  // rows of an organized cloud
        if (!options.width && !options.height) {
            options.width = records.shape(1);
            options.height = records.shape(0);
        }
    } else if (records.ndim() != 1) {
        throw py::value_error("records must be of shape (N,), or (HEIGHT, WIDTH) for an organized cloud, not " +
                              std::string(py::str(records.attr("shape"))));
    }
    const std::int64_t points = records.size();
    PcdHeader header = records_header(record_fields(records.dtype()), points, records.dtype().itemsize(), options);
    PointCloudObject cloud;
    cloud.records.owner = records;
    cloud.records.data = static_cast<const std::uint8_t*>(records.data());
    cloud.fields = make_fields(header, cloud.records, true);
    cloud.coordinates = find_coordinates(header);
    cloud.points = py::none();
    cloud.record_array = py::none();
    cloud.header = make_header(std::move(header));
    return py::cast(std::move(cloud));
}

}  // namespace

void add_from_records(py::class_<PointCloudObject>& cloud) {
    cloud.def_static("from_records", &from_records, py::arg("records"), py::kw_only(), py::arg("width") = py::none(),
                     py::arg("height") = py::none(), py::arg("viewpoint") = py::none(), doc::from_records);
}

}  // namespace vantrel
