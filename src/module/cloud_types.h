// The Python types of read_pcd and read_pcd_header: PcdField, PcdHeader and
// PointCloud, immutable records over what the engine read.
#pragma once

#include <pybind11/pybind11.h>

#include "module/result_arrays.h"
#include "pcd/pcd_reader.h"

namespace vantrel {

// PcdHeader as Python sees it: the engine's header, and its fields as
// PcdField objects, made (and their names checked) once.
struct HeaderObject {
    PcdHeader header;
    pybind11::tuple fields;
};

// PointCloud: the header, every field, and the coordinates and the record
// view made when first asked for.
struct PointCloudObject {
    pybind11::object header;  // a HeaderObject
    pybind11::dict fields;
    OwnedRecords records;
    Coordinates coordinates;
    pybind11::object points;        // None until asked for
    pybind11::object record_array;  // None until asked for

    const PcdHeader& pcd_header() const { return header.cast<const HeaderObject&>().header; }
};

// Adds PcdField, PcdHeader and PointCloud to the module.
void register_cloud_types(pybind11::module_& m);

// Adds the static PointCloud.from_records (records already in memory).
void add_from_records(pybind11::class_<PointCloudObject>& cloud);

// A PcdHeader object for the header. Throws error_already_set
// (UnicodeDecodeError) for a field name that is not UTF-8.
pybind11::object make_header(PcdHeader header);

// A PointCloud that owns the load's records. Throws as make_fields does.
pybind11::object make_point_cloud(PcdLoad&& load);

}  // namespace vantrel
