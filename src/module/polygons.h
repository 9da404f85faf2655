// vantrel._Outline, under vantrel.tools.crop by a polygon.
#pragma once

#include <pybind11/pybind11.h>

namespace vantrel {

void register_polygons(pybind11::module_& m);

}  // namespace vantrel
