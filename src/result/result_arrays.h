// Turns a filled load into (points, fields): NumPy views over the one point
// buffer, which an owner capsule keeps alive for as long as any view lives.
#pragma once

#include <utility>

#include <pybind11/numpy.h>
#include <pybind11/pytypes.h>

#include "pcd/load_driver.h"

namespace vantrel {

// Takes ownership of load.buffer. Must be called with the GIL held.
// points: (N, 3) over x, y, z; a view when they are consecutive F fields of
// SIZE 4 or 8, otherwise a new float32 or float64 array of their first
// elements. fields: every other field with at least one element per point,
// keyed by its name in FIELDS order (a later duplicate replaces the earlier
// array in place), a view of shape (N,) or (N, COUNT).
// Throws std::runtime_error("Unsupported PCD type/size") for a TYPE/SIZE
// outside the dtype table, pybind11::error_already_set for a failed Python
// call (a name that is not UTF-8 among them). The buffer is released on
// every failure.
std::pair<pybind11::array, pybind11::dict> build_result(PcdLoad&& load);

}  // namespace vantrel
