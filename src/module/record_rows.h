// Records handed from NumPy to the geometry kernels: 2-D arrays of rows
// checked for their shape, and values located within a record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>

#include <pybind11/numpy.h>

#include "geometry/voxel_grid.h"
#include "pcd/element_types.h"

namespace vantrel {

template <typename T>
using Rows = pybind11::array_t<T, pybind11::array::c_style | pybind11::array::forcecast>;

// A 2-D array of n rows of `columns` each, C-contiguous.
template <typename T>
inline const T* rows_of(const Rows<T>& array, std::int64_t n, std::size_t columns, const char* what) {
    if (array.ndim() != 2 || array.shape(0) != n || static_cast<std::size_t>(array.shape(1)) != columns) {
        throw pybind11::value_error(std::string(what) + " must be of shape (" + std::to_string(n) + ", " +
                                    std::to_string(columns) + ")");
    }
    return array.data();
}

// offset + bytes <= limit, without the sum that wraps past SIZE_MAX for an offset near it.
inline bool within(std::size_t offset, std::size_t bytes, std::size_t limit) {
    return offset <= limit && bytes <= limit - offset;
}

// A value as (offset, TYPE, SIZE) within a record of `record_bytes`.
inline VoxelValue record_value(const pybind11::handle item, std::size_t record_bytes) {
    const auto [offset, type, bytes] = item.cast<std::tuple<std::size_t, char, std::int32_t>>();
    const ElementType* element = element_type(type, bytes);
    if (element == nullptr || bytes <= 0 || !within(offset, static_cast<std::size_t>(bytes), record_bytes)) {
        throw pybind11::value_error("a value outside the record, or of no element type");
    }
    return VoxelValue{offset, element->element};
}

}  // namespace vantrel
