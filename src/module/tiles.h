// vantrel._tile_records, under vantrel.tools.tile.
#pragma once

#include <pybind11/pybind11.h>

namespace vantrel {

void register_tiles(pybind11::module_& m);

}  // namespace vantrel
