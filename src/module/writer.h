// write_pcd: arrays and their metadata from Python, checked, then handed to
// the engine's writer for a path or a binary file object.
#pragma once

#include <pybind11/pybind11.h>

namespace vantrel {

extern const char* const write_pcd_doc;

// The bound function; see write_pcd_doc. Refuses bad input before anything
// is written: TypeError for a wrong kind or dtype, ValueError for a wrong
// shape, name, length, size, DATA value or viewpoint.
void write_pcd(const pybind11::object& target, const pybind11::object& fields, const pybind11::object& points,
               const pybind11::object& data, const pybind11::object& width, const pybind11::object& height,
               const pybind11::object& viewpoint);

}  // namespace vantrel
