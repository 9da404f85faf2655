// The Python face of the engine: load_pcd, read_pcd, read_pcd_header, open_pcd and write_pcd.
#include <string>
#include <utility>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "module/cloud_types.h"
#include "module/errors.h"
#include "module/reader.h"
#include "module/sources.h"
#include "module/writer.h"
#include "pcd/load_driver.h"
#include "result/result_arrays.h"

namespace py = pybind11;

namespace {

// The engine touches no Python object, so other threads run while a file is
// read and decoded; the lock is back for result assembly and for raising.
std::pair<py::array, py::dict> load_pcd(const std::string& filename) {
    vantrel::PcdLoad load = [&] {
        py::gil_scoped_release release;
        return vantrel::load_pcd(filename);
    }();
    const std::string shortfall = vantrel::describe_shortfall(load.header, load.data);
    auto result = vantrel::build_result(std::move(load));
    vantrel::warn_data(shortfall);
    return result;
}

py::object read_pcd_header(py::handle source) {
    vantrel::Source input(source, "read_pcd_header");
    vantrel::PcdHeader header = input.run([](std::istream& in) {
        vantrel::PcdHeader header = vantrel::parse_pcd_header(in);
        // Without a DATA line the input is no PCD: refused as read_pcd refuses it.
        if (!header.data_line) {
            vantrel::LoadOptions options;
            options.require_coordinates = false;
            vantrel::check_header(header, options);
        }
        return header;
    });
    input.settle(header.data_offset);
    return vantrel::make_header(std::move(header));
}

const char* const read_pcd_header_doc = R"doc(
Read the header of a PCD file, and nothing more.

Parameters:
    source: a path (str, bytes or os.PathLike), or a binary file object read
        from its current position; a seekable one is left at the first byte
        of data.

Returns:
    PcdHeader: version, fields, width, height, points, viewpoint, data,
    point_step, data_offset and organized.
)doc";

}  // namespace

PYBIND11_MODULE(vantrel, m) {
    m.doc() = "Fast PCD loading (ASCII, binary, binary_compressed)";
    // A package over this module: vantrel.dask, vantrel.cli and the other
    // Python parts live in the folder named vantrel beside it.
    if (py::hasattr(m, "__file__")) {
        const py::object path = py::module_::import("os").attr("path");
        py::list folders;
        folders.append(path.attr("join")(path.attr("dirname")(m.attr("__file__")), "vantrel"));
        m.attr("__path__") = folders;
    }
    m.attr("__version__") = VANTREL_VERSION;
    vantrel::register_errors(m);
    vantrel::register_cloud_types(m);
    vantrel::register_reader(m);
    vantrel::register_writer(m);
    // The docstring is the one users have always read; it predates two
    // choices that it leaves out: fields with COUNT above 1 are (N, COUNT),
    // and coordinates may be float64. The stub's docstring says both.
    m.def("load_pcd", &load_pcd, py::arg("filename"), R"pbdoc(
        Load a PCD file into NumPy arrays.

        Returns:
            points: np.ndarray of shape (N,3) with x,y,z
            fields: dict of other 1D NumPy arrays with arbitrary names/dtypes
    )pbdoc");
    m.def("read_pcd", &vantrel::read_pcd, py::arg("source"), py::kw_only(), py::arg("fields") = py::none(),
          py::arg("mmap") = false, vantrel::read_pcd_doc);
    m.def("read_pcd_header", &read_pcd_header, py::arg("source"), read_pcd_header_doc);
    m.def("write_pcd", &vantrel::write_pcd_from_python, py::arg("target"), py::arg("fields") = py::none(),
          py::kw_only(), py::arg("points") = py::none(), py::arg("data") = "binary_compressed",
          py::arg("width") = py::none(), py::arg("height") = py::none(), py::arg("viewpoint") = py::none(),
          vantrel::write_pcd_doc);
}
