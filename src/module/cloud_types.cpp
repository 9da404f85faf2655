#include "module/cloud_types.h"
#include "module/docstrings.h"

#include <stdexcept>
#include <string>

#include <pybind11/stl.h>

#include "module/errors.h"
#include "module/numpy_types.h"

namespace py = pybind11;

namespace vantrel {
namespace {

py::str type_letter(const PcdField& field) {
    PyObject* letter = PyUnicode_DecodeLatin1(&field.type, 1, nullptr);
    if (letter == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(letter);
}

py::tuple field_tuple(const PcdField& field) {
    return py::make_tuple(field_key(field), type_letter(field), field.size, field.count, field.offset);
}

bool organized(const PcdHeader& header) noexcept {
    return header.height > 1 && std::int64_t{header.width} * header.height == header.points;
}

py::tuple viewpoint(const PcdHeader& header) {
    py::tuple out(header.viewpoint.size());
    for (std::size_t i = 0; i < header.viewpoint.size(); ++i) out[i] = py::float_(header.viewpoint[i]);
    return out;
}

// Equal headers say the same: every attribute compares equal.
py::tuple header_tuple(const HeaderObject& h) {
    const PcdHeader& header = h.header;
    return py::make_tuple(readable_text(header.version), h.fields, header.width, header.height, header.points,
                          viewpoint(header), readable_text(header.data_type), header.point_step, header.data_offset);
}

// Immutable records compare and hash by the tuple of what they hold.
template <typename T, typename Key>
void def_value_semantics(py::class_<T>& cls, Key key) {
    cls.def("__eq__",
            [key](const T& a, const py::object& b) -> py::object {
                if (!py::isinstance<T>(b)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
                return py::bool_(key(a).equal(key(b.cast<const T&>())));
            })
        .def("__hash__", [key](const T& a) { return py::hash(key(a)); });
}

// The records of the points a key picks, in a new cloud: a run of points is
// a view of the same buffer, any other pick (a mask, indices, a stride) a
// copy, as NumPy gives them. The grid stays when whole rows are kept.
py::object take_points(const PointCloudObject& cloud, py::handle key) {
    const PcdHeader& header = cloud.pcd_header();
    const std::int64_t points = header.points;
    const std::int64_t step = header.point_step;
    PcdHeader part = header;
    OwnedRecords records;
    std::int64_t first = -1;  // the first point of a run, when the key picks one
    Py_ssize_t start = 0, stop = 0, stride = 0, length = 0;
    if (PySlice_Check(key.ptr())) {
        if (PySlice_GetIndicesEx(key.ptr(), points, &start, &stop, &stride, &length) != 0)
            throw py::error_already_set();
        if (stride == 1 || length <= 1) first = length > 0 ? start : 0;
    }
    if (first >= 0) {
        part.points = static_cast<std::int32_t>(length);
        records.owner = cloud.records.owner;
        records.data = cloud.records.data + first * step;
    } else {
        const py::module_ numpy = py::module_::import("numpy");
        const py::array rows = numpy.attr("arange")(points)[key];
        if (rows.ndim() != 1) throw py::index_error("a cloud is indexed by a slice, a mask or indices of points");
        const py::array raw(py::dtype("u1"), {points, step}, {step, std::int64_t{1}}, cloud.records.data,
                            cloud.records.owner);
        const py::array taken = numpy.attr("ascontiguousarray")(raw[rows]);
        part.points = static_cast<std::int32_t>(rows.shape(0));
        records.owner = taken;
        records.data = static_cast<const std::uint8_t*>(taken.data());
    }
    const bool rows_kept = first >= 0 && organized(header) && first % header.width == 0 &&
                           part.points % header.width == 0 && part.points > 0;
    part.width = rows_kept ? header.width : part.points;
    part.height = rows_kept ? part.points / header.width : 1;
    PointCloudObject taken;
    taken.records = records;
    taken.fields = make_fields(part, records, true);
    taken.coordinates = cloud.coordinates;
    taken.points = py::none();
    taken.record_array = py::none();
    taken.header = make_header(std::move(part));
    return py::cast(std::move(taken));
}

// cloud[name] is a field; any other key picks points.
py::object index_cloud(const py::object& self, const py::object& key) {
    auto& cloud = self.cast<PointCloudObject&>();
    if (PyUnicode_Check(key.ptr())) {
        if (!cloud.fields.contains(key)) {
            throw py::key_error("no field " + std::string(py::repr(key)) + " in this cloud; its fields are: " +
                                py::str(", ").attr("join")(cloud.fields).cast<std::string>());
        }
        return cloud.fields[key];
    }
    if (PyLong_Check(key.ptr()) || (PyIndex_Check(key.ptr()) && !py::isinstance<py::array>(key))) {
        return self.attr("records")[key];  // one point: a record, as a structured array gives it
    }
    return take_points(cloud, key);
}

// np.asarray(cloud): the records, in another dtype or copied when asked.
py::object cloud_array(const py::object& self, const py::object& dtype, const py::object& copy) {
    py::object records = self.attr("records");
    const bool converts = !dtype.is_none() && !py::object(records.attr("dtype")).equal(py::dtype::from_args(dtype));
    if (!copy.is_none() && !py::bool_(copy) && converts) {
        throw py::value_error("the cloud's records cannot be given as " + std::string(py::str(dtype)) +
                              " without a copy");
    }
    if (converts) return records.attr("astype")(dtype);
    if (!copy.is_none() && py::bool_(copy)) return records.attr("copy")();
    return records;
}

void register_field(py::module_& m) {
    py::class_<PcdField> field_type(m, "PcdField", doc::field);
    field_type.def_property_readonly("name", [](const PcdField& f) { return field_key(f); })
        .def_property_readonly("type", [](const PcdField& f) { return type_letter(f); })
        .def_property_readonly("size", [](const PcdField& f) { return f.size; })
        .def_property_readonly("count", [](const PcdField& f) { return f.count; })
        .def_property_readonly("offset", [](const PcdField& f) { return f.offset; })
        .def_property_readonly(
            "dtype",
            [](const PcdField& f) -> py::object {
                const ElementType* element = element_type(f.type, f.size);
                if (element == nullptr) return py::none();
                return py::dtype(npy_type(element->element));
            },
            "The NumPy dtype of one element, or None for a TYPE and SIZE that PCD has no element type for.")
        .def_property_readonly(
            "padding", [](const PcdField& f) { return is_padding_name(f.name); },
            "True for a padding field (named \"_\"), whose bytes hold nothing: frames and writes leave it out.")
        .def("__repr__", [](const PcdField& f) {
            return py::str("PcdField(name={!r}, type={!r}, size={}, count={}, offset={})")
                .format(field_key(f), type_letter(f), f.size, f.count, f.offset);
        });
    def_value_semantics(field_type, field_tuple);
}

void register_header(py::module_& m) {
    py::class_<HeaderObject> header_type(m, "PcdHeader", doc::header);
    header_type.def_property_readonly("version", [](const HeaderObject& h) { return readable_text(h.header.version); })
        .def_property_readonly("fields", [](const HeaderObject& h) { return h.fields; })
        .def_property_readonly("width", [](const HeaderObject& h) { return h.header.width; })
        .def_property_readonly("height", [](const HeaderObject& h) { return h.header.height; })
        .def_property_readonly("points", [](const HeaderObject& h) { return h.header.points; })
        .def_property_readonly("viewpoint", [](const HeaderObject& h) { return viewpoint(h.header); })
        .def_property_readonly("data", [](const HeaderObject& h) { return readable_text(h.header.data_type); })
        .def_property_readonly("point_step", [](const HeaderObject& h) { return h.header.point_step; })
        .def_property_readonly("data_offset", [](const HeaderObject& h) { return h.header.data_offset; })
        .def_property_readonly("organized", [](const HeaderObject& h) { return organized(h.header); })
        .def("__repr__", [](const HeaderObject& h) {
            const PcdHeader& header = h.header;
            return py::str(
                       "PcdHeader(version={!r}, fields={!r}, width={}, height={}, points={}, viewpoint={!r}, "
                       "data={!r}, point_step={}, data_offset={}, organized={})")
                .format(readable_text(header.version), h.fields, header.width, header.height, header.points,
                        viewpoint(header), readable_text(header.data_type), header.point_step, header.data_offset,
                        organized(header));
        });
    def_value_semantics(header_type, header_tuple);
}

void register_cloud(py::module_& m) {
    py::class_<PointCloudObject> cloud_type(m, "PointCloud", doc::cloud);
    cloud_type.def_property_readonly("header", [](const PointCloudObject& c) { return c.header; })
        .def_property_readonly("fields", [](const PointCloudObject& c) { return c.fields; })
        .def_property_readonly("points",
                               [](PointCloudObject& c) {
                                   if (c.points.is_none()) {
                                       if (!c.coordinates.found()) missing_coordinates();
                                       c.points = make_points(c.pcd_header(), c.coordinates, c.records);
                                   }
                                   return c.points;
                               })
        .def_property_readonly("records",
                               [](PointCloudObject& c) {
                                   if (c.record_array.is_none())
                                       c.record_array = make_records(c.pcd_header(), c.records);
                                   return c.record_array;
                               })
        .def("__len__", [](const PointCloudObject& c) { return c.pcd_header().points; })
        .def(
            "__contains__",
            [](const PointCloudObject& c, const py::object& name) {
                return PyUnicode_Check(name.ptr()) && c.fields.contains(name);
            },
            py::arg("name"), "'x' in cloud: whether the cloud has a field of that name.")
        .def("__getitem__", &index_cloud, py::arg("key"),
             "cloud['x'] is cloud.fields['x']; cloud[i:j], cloud[mask] and cloud[indices] are a PointCloud of "
             "those points (a run of points shares the buffer, other picks are copies, as in NumPy; an "
             "organized grid stays when whole rows are kept, otherwise HEIGHT is 1); cloud[i] is point i's record.")
        .def("__array__", &cloud_array, py::arg("dtype") = py::none(), py::kw_only(), py::arg("copy") = py::none(),
             "np.asarray(cloud) is cloud.records.")
        .def("__repr__", [](const PointCloudObject& c) {
            const PcdHeader& header = c.pcd_header();
            return py::str("<vantrel.PointCloud: {} points, {} x {}, {}, fields {}>")
                .format(header.points, header.width, header.height, readable_text(header.data_type),
                        py::str(" ").attr("join")(c.fields));
        });
    add_from_records(cloud_type);
}

}  // namespace

void register_cloud_types(py::module_& m) {
    register_field(m);
    register_header(m);
    register_cloud(m);
}

py::object make_header(PcdHeader header) {
    py::tuple fields(header.fields.size());
    for (std::size_t i = 0; i < header.fields.size(); ++i) {
        field_key(header.fields[i]);  // names are checked here, once
        fields[i] = py::cast(header.fields[i]);
    }
    return py::cast(HeaderObject{std::move(header), std::move(fields)});
}

py::object make_point_cloud(PcdLoad&& load) {
    PointCloudObject cloud;
    cloud.records = hand_over(std::move(load.buffer));
    cloud.fields = make_fields(load.header, cloud.records, true);
    cloud.coordinates = load.coordinates;
    cloud.points = py::none();
    cloud.record_array = py::none();
    cloud.header = make_header(std::move(load.header));
    return py::cast(std::move(cloud));
}

}  // namespace vantrel
