// The outline kernel of vantrel.tools.crop, bound: vantrel._Outline orders a
// polygon's edges once, and its flip() marks the points of each chunk whose
// ray crosses an odd number of them, without the GIL.
#include "module/polygons.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include <pybind11/numpy.h>

#include "geometry/polygon.h"

namespace py = pybind11;

namespace vantrel {
namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Starts = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

class OutlineObject {
public:
    OutlineObject(Doubles vertices, const Starts& starts) : vertices_(std::move(vertices)) {
        if (vertices_.ndim() != 2 || vertices_.shape(1) != 2) throw py::value_error("vertices must be of shape (m, 2)");
        // Each ring's first vertex, then the end: nondecreasing from 0 to m, so that no ring
        // reaches past the vertices.
        const std::int64_t rings = starts.ndim() == 1 ? starts.shape(0) - 1 : -1;
        bool ordered = rings >= 0 && starts.at(0) == 0 && starts.at(rings) == vertices_.shape(0);
        for (std::int64_t r = 0; ordered && r < rings; ++r) ordered = starts.at(r) <= starts.at(r + 1);
        if (!ordered) throw py::value_error("starts must run from 0 to the vertices' count, never down");
        const double* data = vertices_.data();  // kept alive by vertices_, and never written
        const std::int64_t* first = starts.data();
        const py::gil_scoped_release release;
        outline_ = std::make_unique<Outline>(data, first, rings);
    }

    void flip(const py::object& x, const py::object& y, const py::object& given, std::int64_t bands) const {
        py::array xs = coordinates(x), ys = coordinates(y);
        if (xs.ndim() != 1 || ys.ndim() != 1 || xs.shape(0) != ys.shape(0)) {
            throw py::value_error("xs and ys must be one-dimensional, of one length");
        }
        // Taken as it is: a copy made to fit would take the flips in place of the array given.
        if (!py::isinstance<py::array>(given)) throw py::type_error("hits must be a NumPy array");
        auto hits = py::reinterpret_borrow<py::array>(given);
        if (hits.itemsize() != 1 || hits.ndim() != 1 || hits.shape(0) != xs.shape(0) ||
            !(hits.flags() & py::array::c_style) || !hits.writeable()) {
            throw py::value_error("hits must be a writable contiguous array of " + std::to_string(xs.shape(0)) +
                                  " bytes");
        }
        auto* out = static_cast<std::uint8_t*>(hits.mutable_data());
        const Outline::Column x_column = column(xs), y_column = column(ys);
        const py::gil_scoped_release release;
        outline_->cross(x_column, y_column, xs.shape(0), out, bands);
    }

private:
    // Float or double columns as they lie (a cloud's x and y within its records, say), in this
    // machine's byte order; anything else as a copy in doubles.
    static py::array coordinates(const py::object& given) {
        if (py::isinstance<py::array>(given)) {
            auto array = py::reinterpret_borrow<py::array>(given);
            const py::dtype type = array.dtype();
            if (type.kind() == 'f' && (type.itemsize() == sizeof(float) || type.itemsize() == sizeof(double)) &&
                type.attr("isnative").cast<bool>()) {
                return array;
            }
        }
        Doubles copy = Doubles::ensure(given);
        if (!copy) throw py::type_error("xs and ys must be arrays of numbers");
        return std::move(copy);
    }
    static Outline::Column column(const py::array& values) {
        return {values.data(), values.ndim() == 1 ? values.strides(0) : 0, values.itemsize() == sizeof(float)};
    }

    Doubles vertices_;
    std::unique_ptr<Outline> outline_;
};

}  // namespace

void register_polygons(py::module_& m) {
    py::class_<OutlineObject>(m, "_Outline", "A polygon's rings, their edges ordered once for crop's sweeps (private).")
        .def(py::init<Doubles, const Starts&>(), py::arg("vertices"), py::arg("starts"))
        .def("flip", &OutlineObject::flip, py::arg("xs"), py::arg("ys"), py::arg("hits"), py::arg("bands") = 0,
             "Flips hits of the points within the vertices' bounding box whose ray to the right crosses an odd "
             "number of the edges, swept in bands of heights side by side (0: as the threads allow) (private).");
}

}  // namespace vantrel
