// The voxel kernels of vantrel.tools.downsample, bound: vantrel._VoxelGrid,
// the voxel table, whose means() also joins runs of it.
#include "module/voxels.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>

#include "geometry/voxel_grid.h"
#include "module/record_rows.h"
#include "module/result_arrays.h"
#include "module/signals.h"
#include "pcd/point_buffer.h"

namespace py = pybind11;

namespace vantrel {
namespace {

class GridObject {
public:
    GridObject(std::size_t sums, std::size_t first_bytes, std::size_t capacity)
        : grid_(sums, first_bytes, capacity), sums_(sums), bytes_(first_bytes) {}

    std::int64_t add(const Rows<std::int64_t>& ijk, const Rows<double>& values, const Rows<std::uint8_t>& firsts,
                     std::int64_t start) {
        const std::int64_t n = ijk.ndim() == 2 ? ijk.shape(0) : -1;
        const std::int64_t* keys = rows_of(ijk, n, 3, "ijk");
        const double* sums =
            sums_ ? rows_of(values, static_cast<std::int64_t>(sums_), static_cast<std::size_t>(n), "values") : nullptr;
        const std::uint8_t* first = rows_of(firsts, n, bytes_, "firsts");
        if (start < 0 || start > n) throw py::value_error("start must be within the points");
        const auto lock = calls_.hold();  // add runs without the GIL: one call at a time
        const py::gil_scoped_release release;
        return grid_.add(keys, sums, first, n, start);
    }

    // Where add_records finds each value: xyz and sums as (offset, TYPE, SIZE), colors as
    // (offset, channels), firsts as (offset, bytes); checked against the grid and `record_bytes`.
    void plan(std::size_t record_bytes, const py::sequence& xyz, const py::sequence& size, const py::sequence& sums,
              const py::sequence& colors, const py::sequence& firsts) {
        VoxelPlan plan;
        auto value = [&](const py::handle item) { return record_value(item, record_bytes); };
        if (py::len(xyz) != 3 || py::len(size) != 3) throw py::value_error("x, y and z, three sizes");
        for (std::size_t a = 0; a < 3; ++a) {
            plan.xyz[a] = value(xyz[a]);
            plan.size[a] = size[a].cast<double>();
            if (!(plan.size[a] > 0 && std::isfinite(plan.size[a]))) throw py::value_error("voxel sizes must be > 0");
        }
        std::size_t rows = 0, first_bytes = 0;
        for (const py::handle item : sums) plan.sums.push_back(value(item)), ++rows;
        for (const py::handle item : colors) {
            const auto [offset, channels] = item.cast<std::pair<std::size_t, int>>();
            if ((channels != 3 && channels != 4) || !within(offset, 4, record_bytes)) {
                throw py::value_error("a bad color");
            }
            plan.colors.emplace_back(offset, channels);
            rows += static_cast<std::size_t>(channels);
        }
        for (const py::handle item : firsts) {
            const auto [offset, bytes] = item.cast<std::pair<std::size_t, std::size_t>>();
            if (!within(offset, bytes, record_bytes) || !within(first_bytes, bytes, bytes_)) {
                throw py::value_error("first bytes outside the record, or more than the grid's");
            }
            plan.firsts.emplace_back(offset, bytes);
            first_bytes += bytes;
        }
        if (rows != sums_ || first_bytes != bytes_) throw py::value_error("the plan does not fit the grid");
        const auto lock = calls_.hold();
        plan_ = std::move(plan);
        record_bytes_ = record_bytes;
    }

    // Records (n, record_bytes) from `start`, as the plan says: (the first not added, points skipped).
    py::tuple add_records(const Rows<std::uint8_t>& records, std::int64_t start) {
        const auto lock = calls_.hold();  // the plan too is read under it: plan() may run on another thread
        if (record_bytes_ == 0) throw py::value_error("plan() first");
        const std::int64_t n = records.ndim() == 2 ? records.shape(0) : -1;
        const std::uint8_t* data = rows_of(records, n, record_bytes_, "records");
        if (start < 0 || start > n) throw py::value_error("start must be within the records");
        std::int64_t skipped = 0, next = 0;
        try {
            const py::gil_scoped_release release;
            next = grid_.add_records(data, record_bytes_, n, start, plan_, skipped);
        } catch (const std::overflow_error& e) {
            PyErr_SetString(PyExc_OverflowError, e.what());  // downsample names the voxel size and coordinate
            throw py::error_already_set();
        }
        return py::make_tuple(next, skipped);
    }

    // Output records (V, out_bytes) from sorted parts of runs of drained records, merged as
    // merge_voxel_records merges them: floats (out offset, TYPE, SIZE, sum), colors (out offset,
    // channels, first sum), firsts (out offset, offset in first bytes, bytes).
    Rows<std::uint8_t> means(const py::list& given, std::size_t out_bytes, const py::sequence& floats,
                             const py::sequence& colors, const py::sequence& firsts) {
        const std::size_t bytes = grid_.record_bytes();
        std::vector<Rows<std::uint8_t>> parts;  // held while the merge reads them
        for (const py::handle part : given) parts.push_back(Rows<std::uint8_t>::ensure(part));
        std::vector<VoxelRecords> spans;
        std::size_t total = 0;
        for (const auto& part : parts) {
            if (!part) throw py::error_already_set();
            const std::int64_t n = part.ndim() == 2 ? part.shape(0) : -1;
            spans.push_back({rows_of(part, n, bytes, "part"), static_cast<std::size_t>(n)});
            total += static_cast<std::size_t>(n);
        }
        VoxelOutput output;
        output.record_bytes = out_bytes;
        auto fits = [&](bool ok) {
            if (!ok) throw py::value_error("an output place outside its record");
        };
        for (const py::handle item : floats) {
            const auto [offset, type, size, sum] =
                item.cast<std::tuple<std::size_t, char, std::int32_t, std::size_t>>();
            fits(type == type_float && (size == 4 || size == 8) &&
                 within(offset, static_cast<std::size_t>(size), out_bytes) && sum < sums_);
            output.floats.emplace_back(offset, size == 4 ? Element::f32 : Element::f64, sum);
        }
        for (const py::handle item : colors) {
            const auto [offset, channels, sum] = item.cast<std::tuple<std::size_t, int, std::size_t>>();
            fits((channels == 3 || channels == 4) && within(offset, 4, out_bytes) &&
                 within(sum, static_cast<std::size_t>(channels), sums_));
            output.colors.emplace_back(offset, channels, sum);
        }
        for (const py::handle item : firsts) {
            const auto [offset, from, size] = item.cast<std::tuple<std::size_t, std::size_t, std::size_t>>();
            fits(within(offset, size, out_bytes) && within(from, size, bytes_));
            output.firsts.emplace_back(offset, from, size);
        }
        Rows<std::uint8_t> out({static_cast<py::ssize_t>(total), static_cast<py::ssize_t>(out_bytes)});
        std::size_t made = 0;
        {
            const py::gil_scoped_release release;
            made = merge_voxel_means(spans, sums_, bytes, output, out.mutable_data());
        }
        return out[py::slice(0, static_cast<py::ssize_t>(made), 1)].cast<Rows<std::uint8_t>>();
    }

    void sort() {
        const auto lock = calls_.hold();
        const py::gil_scoped_release release;
        grid_.sort();
    }

    // The next `count` voxels' records in key order, after sort(): (V, record_bytes) bytes.
    Rows<std::uint8_t> drain(std::size_t count) {
        const auto lock = calls_.hold();  // not while an add on another thread changes the table
        count = std::min(count, grid_.size());
        const std::size_t bytes = grid_.record_bytes();
        Rows<std::uint8_t> records({static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(bytes)});
        const std::size_t taken = grid_.drain(records.mutable_data(), count);
        if (taken == count) return records;
        return records[py::slice(0, static_cast<py::ssize_t>(taken), 1)].cast<Rows<std::uint8_t>>();
    }

    Rows<std::uint8_t> result() {
        sort();
        return drain(grid_.size());
    }

    std::size_t record_bytes() const { return grid_.record_bytes(); }

    std::size_t size() {
        const auto lock = calls_.hold();
        return grid_.size();
    }

    bool full() {
        const auto lock = calls_.hold();
        return grid_.full();
    }

private:
    CallLock calls_;
    VoxelGrid grid_;
    VoxelPlan plan_{};
    std::size_t record_bytes_ = 0;
    std::size_t sums_;
    std::size_t bytes_;
};

}  // namespace

void register_voxels(py::module_& m) {
    py::class_<GridObject>(m, "_VoxelGrid", "The occupied voxels of vantrel.tools.downsample (private).")
        .def(py::init<std::size_t, std::size_t, std::size_t>(), py::arg("sums"), py::arg("first_bytes"),
             py::arg("capacity") = VoxelGrid::most_voxels)
        .def("add", &GridObject::add, py::arg("ijk"), py::arg("values"), py::arg("firsts"), py::arg("start") = 0,
             "Adds points start.. of voxel indices (n, 3), values to sum (sums, n), first bytes (n, first_bytes); "
             "returns the first point not added (n, or one whose voxel is new to a full grid).")
        .def("plan", &GridObject::plan, py::arg("record_bytes"), py::arg("xyz"), py::arg("size"), py::arg("sums"),
             py::arg("colors"), py::arg("firsts"),
             "Where add_records finds x y z and each value: (offset, TYPE, SIZE), colors (offset, channels), "
             "first bytes (offset, bytes).")
        .def("add_records", &GridObject::add_records, py::arg("records"), py::arg("start") = 0,
             "Adds records (n, record_bytes) from start as the plan says; returns (the first not added, points "
             "skipped for a coordinate that is not finite).")
        .def("means", &GridObject::means, py::arg("parts"), py::arg("out_bytes"), py::arg("floats"), py::arg("colors"),
             py::arg("firsts"),
             "Output records from sorted parts of runs of drained records, a voxel in several parts merged: "
             "float fields the means, colors the rounded means of their channels, other fields the first bytes.")
        .def("sort", &GridObject::sort, "Puts the voxels in voxel order, for drain.")
        .def("drain", &GridObject::drain, py::arg("count"),
             "The records (key, count, sums, first bytes) of the next count voxels in voxel order; empty after "
             "the last.")
        .def("result", &GridObject::result, "sort, then drain every voxel.")
        .def_property_readonly("record_bytes", &GridObject::record_bytes)
        .def_property_readonly("full", &GridObject::full)
        .def("__len__", &GridObject::size);
}

}  // namespace vantrel
