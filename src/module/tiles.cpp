// The tile kernels of vantrel.tools.tile, bound: vantrel._tile_order gives a
// chunk's tile order, vantrel._take_records gathers a tile's records into a
// buffer its thread reuses.
#include "module/tiles.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include <pybind11/numpy.h>

#include "geometry/tile_order.h"
#include "module/record_rows.h"
#include "module/result_arrays.h"
#include "pcd/point_buffer.h"

namespace py = pybind11;

namespace vantrel {
namespace {

// (the record numbers in tile order, [(ix, iy, start, stop)], points with a coordinate that is
// not finite, last).
py::tuple tile_order(const Rows<std::uint8_t>& records, const py::sequence& xyz, std::pair<double, double> origin,
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
    TileOrder order;
    try {
        const py::gil_scoped_release release;
        order = order_by_tile(data, record_bytes, n, where, at, sizes);
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());  // tile names the size and coordinate
        throw py::error_already_set();
    }
    py::list listed;
    for (const TileRun& run : order.runs) listed.append(py::make_tuple(run.ix, run.iy, run.start, run.stop));
    const OwnedRecords owned = hand_over(PointBuffer(std::move(order.order)));
    const py::array numbers(py::dtype::of<std::int64_t>(), {n}, {std::int64_t{sizeof(std::int64_t)}}, owned.data,
                            owned.owner);
    return py::make_tuple(numbers, listed, order.nan);
}

// The records (n, record bytes) that `numbers` names, in its order, into the first rows of `out`
// (as many rows or more, as wide), which are returned: a tile's, gathered to be written, into a
// buffer that its thread reuses.
py::array take_records(const Rows<std::uint8_t>& records, const Rows<std::int64_t>& numbers, const py::object& given) {
    const std::int64_t n = records.ndim() == 2 ? records.shape(0) : -1;
    const auto record_bytes = static_cast<std::size_t>(records.ndim() == 2 ? records.shape(1) : 0);
    const std::uint8_t* data = rows_of(records, n, record_bytes, "records");
    if (numbers.ndim() != 1) throw py::value_error("numbers must be one-dimensional");
    const std::int64_t m = numbers.shape(0);
    // Taken as it is: a copy made to fit (of another type, or not contiguous) would take the records
    // in place of the buffer given.
    if (!py::isinstance<py::array>(given)) throw py::type_error("out must be a NumPy array");
    auto out = py::reinterpret_borrow<py::array>(given);
    if (out.dtype().kind() != 'u' || out.itemsize() != 1 || out.ndim() != 2 || out.shape(0) < m ||
        static_cast<std::size_t>(out.shape(1)) != record_bytes || !(out.flags() & py::array::c_style) ||
        !out.writeable()) {
        throw py::value_error("out must be a writable C-contiguous uint8 array of " + std::to_string(m) +
                              " rows or more of " + std::to_string(record_bytes) + " bytes");
    }
    auto* to = static_cast<std::uint8_t*>(out.mutable_data());
    try {
        const py::gil_scoped_release release;
        gather_records(data, record_bytes, n, numbers.data(), m, to);
    } catch (const std::out_of_range& e) {
        throw py::index_error(e.what());
    }
    return out[py::slice(0, static_cast<py::ssize_t>(m), 1)];
}

}  // namespace

void register_tiles(py::module_& m) {
    m.def("_tile_order", &tile_order, py::arg("records"), py::arg("xyz"), py::arg("origin"), py::arg("size"),
          "The tile order of a chunk's records (n, record bytes): (record numbers, [(ix, iy, start, stop)], points "
          "with a coordinate that is not finite, last) (private).");
    m.def("_take_records", &take_records, py::arg("records"), py::arg("numbers"), py::arg("out"),
          "The records (n, record bytes) that numbers names, in its order, into out's first rows, which are "
          "returned (private).");
}

}  // namespace vantrel
