// Reading in parts: open_pcd and its PcdReader (chunks, chosen fields,
// seeking), and read_pcd with chosen fields or a memory mapping.
#pragma once

#include <pybind11/pybind11.h>

namespace vantrel {

// Adds PcdReader (and its chunk iterator) and open_pcd to the module.
void register_reader(pybind11::module_& m);

// read_pcd(source, *, fields=None, mmap=False).
pybind11::object read_pcd(const pybind11::object& source, const pybind11::object& fields, bool mmap);

}  // namespace vantrel
