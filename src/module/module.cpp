// The Python face of the loader: vantrel.load_pcd(filename).
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

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
    return vantrel::build_result(std::move(load));
}

// The loader's messages carry file and field names, which are bytes: a name
// that is not UTF-8 must not turn a RuntimeError into a UnicodeDecodeError.
void translate_runtime_error(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const py::builtin_exception&) {
        throw;  // pybind11's own, translated by its defaults
    } catch (const std::runtime_error& e) {
        const char* what = e.what();
        PyObject* message = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "backslashreplace");
        if (message != nullptr) {
            PyErr_SetObject(PyExc_RuntimeError, message);
            Py_DECREF(message);
        }
    }
}

}  // namespace

PYBIND11_MODULE(vantrel, m) {
    py::register_local_exception_translator(translate_runtime_error);
    m.doc() = "Fast PCD loading (ASCII, binary, binary_compressed)";
    m.attr("__version__") = VANTREL_VERSION;
    // The docstring is the one users have always read; it predates two
    // choices that it leaves out: fields with COUNT above 1 are (N, COUNT),
    // and coordinates may be float64. The stub's docstring says both.
    m.def("load_pcd", &load_pcd, py::arg("filename"), R"pbdoc(
        Load a PCD file into NumPy arrays.

        Returns:
            points: np.ndarray of shape (N,3) with x,y,z
            fields: dict of other 1D NumPy arrays with arbitrary names/dtypes
    )pbdoc");
}
