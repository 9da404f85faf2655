// vantrel._VoxelGrid: the engine's voxel table for vantrel.tools.downsample,
// which hands it each chunk's voxel indices, values and first bytes.
#include "module/voxels.h"

#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/numpy.h>

#include "module/signals.h"
#include "pcd/voxel_grid.h"

namespace py = pybind11;

namespace vantrel {
namespace {

template <typename T>
using Rows = py::array_t<T, py::array::c_style | py::array::forcecast>;

// A 2-D array of n rows of `columns` each, C-contiguous.
template <typename T>
const T* rows_of(const Rows<T>& array, std::int64_t n, std::size_t columns, const char* what) {
    if (array.ndim() != 2 || array.shape(0) != n || static_cast<std::size_t>(array.shape(1)) != columns) {
        throw py::value_error(std::string(what) + " must be of shape (" + std::to_string(n) + ", " +
                              std::to_string(columns) + ")");
    }
    return array.data();
}

class GridObject {
public:
    GridObject(std::size_t sums, std::size_t first_bytes)
        : grid_(sums, first_bytes), sums_(sums), bytes_(first_bytes) {}

    void add(const Rows<std::int64_t>& ijk, const Rows<double>& values, const Rows<std::uint8_t>& firsts) {
        const std::int64_t n = ijk.ndim() == 2 ? ijk.shape(0) : -1;
        const std::int64_t* keys = rows_of(ijk, n, 3, "ijk");
        const double* sums =
            sums_ ? rows_of(values, static_cast<std::int64_t>(sums_), static_cast<std::size_t>(n), "values") : nullptr;
        const std::uint8_t* first = rows_of(firsts, n, bytes_, "firsts");
        const auto lock = calls_.hold();  // add runs without the GIL: one call at a time
        const py::gil_scoped_release release;
        grid_.add(keys, sums, first, n);
    }

    // (keys (V, 3), counts (V,), sums (V, sums), firsts (V, first_bytes)), in voxel order.
    py::tuple result() {
        const auto lock = calls_.hold();  // not while an add on another thread changes the table
        const std::vector<std::int64_t> order = grid_.key_order();
        const auto voxels = static_cast<py::ssize_t>(order.size());
        Rows<std::int64_t> keys({voxels, py::ssize_t{3}});
        Rows<std::int64_t> counts(voxels);
        Rows<double> sums({voxels, static_cast<py::ssize_t>(sums_)});
        Rows<std::uint8_t> firsts({voxels, static_cast<py::ssize_t>(bytes_)});
        std::int64_t* key_out = keys.mutable_data();
        std::int64_t* count_out = counts.mutable_data();
        double* sum_out = sums.mutable_data();
        std::uint8_t* first_out = firsts.mutable_data();
        for (std::size_t v = 0; v < order.size(); ++v) {
            const auto slot = static_cast<std::size_t>(order[v]);
            const VoxelIndex& key = grid_.keys()[slot];
            key_out[3 * v] = key.i, key_out[3 * v + 1] = key.j, key_out[3 * v + 2] = key.k;
            count_out[v] = grid_.counts()[slot];
            for (std::size_t s = 0; s < sums_; ++s) sum_out[v * sums_ + s] = grid_.sums()[slot * sums_ + s];
            for (std::size_t b = 0; b < bytes_; ++b) first_out[v * bytes_ + b] = grid_.firsts()[slot * bytes_ + b];
        }
        return py::make_tuple(keys, counts, sums, firsts);
    }

    std::size_t size() {
        const auto lock = calls_.hold();
        return grid_.size();
    }

private:
    CallLock calls_;
    VoxelGrid grid_;
    std::size_t sums_;
    std::size_t bytes_;
};

}  // namespace

void register_voxels(py::module_& m) {
    py::class_<GridObject>(m, "_VoxelGrid", "The occupied voxels of vantrel.tools.downsample (private).")
        .def(py::init<std::size_t, std::size_t>(), py::arg("sums"), py::arg("first_bytes"))
        .def("add", &GridObject::add, py::arg("ijk"), py::arg("values"), py::arg("firsts"),
             "Adds n points: voxel indices (n, 3), values to sum (sums, n), first bytes (n, first_bytes).")
        .def("result", &GridObject::result, "(keys, counts, sums, firsts) of every voxel, in voxel order.")
        .def("__len__", &GridObject::size);
}

}  // namespace vantrel
