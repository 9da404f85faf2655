// write_pcd: arrays and their metadata from Python, checked for their Python
// types here and for their values by the engine, then written to a path or a
// binary file object.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "pcd/pcd_writer.h"

namespace vantrel {

// What one write takes from its arguments: the fields (x, y and z of
// `points` first), the options, and the arrays that hold the values alive.
struct WriteJob {
    std::vector<WriteField> fields;
    WriteOptions options;
    std::vector<pybind11::array> arrays;
};

// The fields of a mapping of names to arrays (a PointCloud's, a pandas
// DataFrame's columns, a structured array's fields), in its order, appended
// to the job; "_" (padding) is left out. TypeError for anything else, a name
// that is not str or a dtype of no element type; ValueError for a shape that
// is neither (N,) nor (N, COUNT). With `group`, a DataFrame's columns name_0
// to name_{k-1} of one dtype are one field of COUNT k, as to_pandas made them.
void add_fields(pybind11::handle fields, WriteJob& job, bool group = true);

// What add_fields calls on fields that are no mapping (a pandas DataFrame, a
// structured array): it returns their columns as a mapping, or None. The
// package's Python side gives it once, at import; until then such fields
// are a TypeError.
void set_field_adapter(pybind11::object adapter);

// x, y and z, the columns of an (N, 3) float32 or float64 array, appended
// to the job. TypeError for another dtype, ValueError for another shape.
void add_coordinates(pybind11::handle points, WriteJob& job);

// write_pcd's arguments as a job: the Python types checked (TypeError), the
// values left for the engine to check.
WriteJob build_write(const pybind11::object& fields, const pybind11::object& points, const pybind11::object& data,
                     const pybind11::object& width, const pybind11::object& height, const pybind11::object& viewpoint,
                     bool group);

// A count argument: None, or an integer (TypeError otherwise).
std::optional<std::int64_t> grid_side(pybind11::handle value, const char* what);

// The write options as Python gives them: TypeError for what is not of their
// type (the engine checks their values). A viewpoint of None leaves the one
// there (a PointCloud's).
void take_options(pybind11::handle data, pybind11::handle width, pybind11::handle height, pybind11::handle viewpoint,
                  WriteOptions& options);

// One DataWarning per field whose values ascii cannot keep bit for bit, of
// the n points the sources hold; raised before they are written, so that a
// warning made an error stops the write with the target untouched. Nothing
// for the other encodings.
void warn_lossy(const PcdHeader& header, const std::vector<FieldSource>& sources, std::int64_t n,
                const std::optional<std::string>& name);

// Adds PcdWriter and open_pcd_writer to the module (piece_writer.cpp).
void register_writer(pybind11::module_& m);

// The bound function; see doc::write_pcd. Refuses bad input before anything
// is written: TypeError for a wrong kind or dtype, ValueError for a wrong
// shape, name, length, size, DATA value or viewpoint.
void write_pcd_from_python(const pybind11::object& target, const pybind11::object& fields,
                           const pybind11::object& points, const pybind11::object& data, const pybind11::object& width,
                           const pybind11::object& height, const pybind11::object& viewpoint, bool group);

}  // namespace vantrel
