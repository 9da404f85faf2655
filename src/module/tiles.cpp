// The tile kernel of vantrel.tools.tile, bound: vantrel._tile_records gives a
// copy of a chunk's records in tile order, each tile's records side by side.
#include "module/tiles.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include <pybind11/numpy.h>

#include "geometry/tile_order.h"
#include "module/record_rows.h"
#include "module/result_arrays.h"
#include "pcd/point_buffer.h"

namespace py = pybind11;

namespace vantrel {
namespace {

// (the records in tile order, [(ix, iy, start, stop)], points with a coordinate that is not
// finite, last).
py::tuple tile_records(const Rows<std::uint8_t>& records, const py::sequence& xyz, std::pair<double, double> origin,
                       std::pair<double, double> size) {
    const std::int64_t n = records.ndim() == 2 ? records.shape(0) : -1;
    const auto record_bytes = static_cast<std::size_t>(records.ndim() == 2 ? records.shape(1) : 0);
    const std::uint8_t* data = rows_of(records, n, record_bytes, "records");
    if (py::len(xyz) != 3) throw py::value_error("x, y and z");
    const VoxelValue where[3] = {record_value(xyz[0], record_bytes), record_value(xyz[1], record_bytes),
                                 record_value(xyz[2], record_bytes)};
    const double at[2] = {origin.first, origin.second}, sizes[2] = {size.first, size.second};
    if (!(sizes[0] > 0 && sizes[1] > 0 && std::isfinite(sizes[0]) && std::isfinite(sizes[1]))) {
        throw py::value_error("tile sizes must be positive and finite");
    }
    TiledRecords tiled;
    try {
        const py::gil_scoped_release release;
        tiled = arrange_by_tile(data, record_bytes, n, where, at, sizes);
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());  // tile names the size and coordinate
        throw py::error_already_set();
    }
    py::list listed;
    for (const TileRun& run : tiled.runs) listed.append(py::make_tuple(run.ix, run.iy, run.start, run.stop));
    const OwnedRecords owned = hand_over(PointBuffer(std::move(tiled.records)));
    const auto step = static_cast<py::ssize_t>(record_bytes);
    const py::array rows(py::dtype::of<std::uint8_t>(), {static_cast<py::ssize_t>(n), step}, {step, py::ssize_t{1}},
                         owned.data, owned.owner);
    return py::make_tuple(rows, listed, tiled.nan);
}

}  // namespace

void register_tiles(py::module_& m) {
    m.def("_tile_records", &tile_records, py::arg("records"), py::arg("xyz"), py::arg("origin"), py::arg("size"),
          "A chunk's records (n, record bytes) in tile order: (a copy of them in that order, [(ix, iy, start, "
          "stop)], points with a coordinate that is not finite, last) (private).");
}

}  // namespace vantrel
