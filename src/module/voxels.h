// vantrel._VoxelGrid, the voxel table under vantrel.tools.downsample.
#pragma once

#include <pybind11/pybind11.h>

namespace vantrel {

void register_voxels(pybind11::module_& m);

}  // namespace vantrel
