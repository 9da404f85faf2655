// The outline kernel of vantrel.tools.crop, bound: vantrel._cross_ring flips
// the hits of the points whose ray crosses a ring's edges, without the GIL.
#include "module/polygons.h"

#include <cstdint>
#include <string>

#include <pybind11/numpy.h>

#include "geometry/polygon.h"

namespace py = pybind11;

namespace vantrel {
namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

void cross(const Doubles& xs, const Doubles& ys, const Doubles& ring, const py::object& given) {
    if (xs.ndim() != 1 || ys.ndim() != 1 || xs.shape(0) != ys.shape(0)) {
        throw py::value_error("xs and ys must be one-dimensional, of one length");
    }
    if (ring.ndim() != 2 || ring.shape(1) != 2) throw py::value_error("ring must be of shape (m, 2)");
    // Taken as it is: a copy made to fit would take the flips in place of the array given.
    if (!py::isinstance<py::array>(given)) throw py::type_error("hits must be a NumPy array");
    auto hits = py::reinterpret_borrow<py::array>(given);
    if (hits.itemsize() != 1 || hits.ndim() != 1 || hits.shape(0) != xs.shape(0) ||
        !(hits.flags() & py::array::c_style) || !hits.writeable()) {
        throw py::value_error("hits must be a writable contiguous array of " + std::to_string(xs.shape(0)) + " bytes");
    }
    auto* out = static_cast<std::uint8_t*>(hits.mutable_data());
    const py::gil_scoped_release release;
    cross_ring(xs.data(), ys.data(), xs.shape(0), ring.data(), ring.shape(0), out);
}

}  // namespace

void register_polygons(py::module_& m) {
    m.def("_cross_ring", &cross, py::arg("xs"), py::arg("ys"), py::arg("ring"), py::arg("hits"),
          "Flips hits of the points (sorted by y) whose ray to the right crosses an edge of the ring (private).");
}

}  // namespace vantrel
