// The Python face of the loader: vantrel.load_pcd(filename).
#include <string>
#include <utility>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "pcd/load_driver.h"
#include "result/result_arrays.h"

namespace py = pybind11;

namespace {

std::pair<py::array, py::dict> load_pcd(const std::string& filename) {
    return vantrel::build_result(vantrel::load_pcd(filename));
}

}  // namespace

PYBIND11_MODULE(vantrel, m) {
    m.doc() = "Fast PCD loading (ASCII, binary, binary_compressed)";
    m.def("load_pcd", &load_pcd, py::arg("filename"), R"pbdoc(
        Load a PCD file into NumPy arrays.

        Returns:
            points: np.ndarray of shape (N,3) with x,y,z
            fields: dict of other 1D NumPy arrays with arbitrary names/dtypes
    )pbdoc");
}
