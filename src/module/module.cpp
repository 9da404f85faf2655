// The Python face of the engine: load_pcd, read_pcd, read_pcd_header, open_pcd and write_pcd.
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "module/cloud_types.h"
#include "module/docstrings.h"
#include "module/errors.h"
#include "module/polygons.h"
#include "module/py_files.h"
#include "module/reader.h"
#include "module/result_arrays.h"
#include "module/signals.h"
#include "module/signatures.h"
#include "module/sources.h"
#include "module/tiles.h"
#include "module/voxels.h"
#include "module/writer.h"
#include "pcd/pcd_reader.h"
#include "pcd/thread_pool.h"

namespace py = pybind11;

// load_pcd's argument, which its signature (the one pybind11 writes, kept as
// users have always read it) shows as str; the function checks the object.
inline bool any_object(PyObject*) noexcept {
    return true;
}
class Filename : public py::object {
public:
    PYBIND11_OBJECT_DEFAULT(Filename, py::object, any_object)
};

namespace pybind11::detail {
template <>
struct handle_type_name<Filename> {
    static constexpr auto name = const_name("str");
};
}  // namespace pybind11::detail

namespace {

// load_pcd's argument: a str (as UTF-8) or bytes and bytearray (as they are).
std::string filename_bytes(py::handle filename) {
    if (PyUnicode_Check(filename.ptr())) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(filename.ptr(), &size);
        if (text == nullptr) {
            vantrel::pass_over_error();
            throw py::type_error(
                "load_pcd() takes a path as str, bytes or bytearray, and this str has no UTF-8 "
                "form (it holds a lone surrogate); pass its bytes (os.fsencode)");
        }
        return std::string(text, static_cast<std::size_t>(size));
    }
    if (PyBytes_Check(filename.ptr())) return std::string(py::bytes(py::reinterpret_borrow<py::object>(filename)));
    if (PyByteArray_Check(filename.ptr())) {
        return std::string(PyByteArray_AS_STRING(filename.ptr()),
                           static_cast<std::size_t>(PyByteArray_GET_SIZE(filename.ptr())));
    }
    throw py::type_error("load_pcd() takes a path as str, bytes or bytearray, not " + vantrel::type_name(filename) +
                         "; read_pcd() takes pathlib.Path and binary file objects too");
}

// The engine touches no Python object, so other threads run while a file is
// read and decoded; the lock is back for result assembly and for raising.
std::pair<py::array, py::dict> load_pcd(const Filename& filename) {
    const std::string path = filename_bytes(filename);
    vantrel::ReadContext context{vantrel::source_name(filename), std::nullopt, true};
    vantrel::PcdLoad load = vantrel::reading(context, [&] {
        return vantrel::without_gil([&] {
            std::ifstream file = vantrel::open_pcd_file(path);
            vantrel::PcdHeader header = vantrel::parse_pcd_header(file);
            context.header = header;
            return vantrel::load_parsed(file, std::move(header), {});
        });
    });
    const std::string shortfall = vantrel::describe_shortfall(load.header, load.data);
    auto result = vantrel::reading(context, [&] { return vantrel::build_result(std::move(load)); });
    vantrel::warn_data(shortfall, context.name);
    return result;
}

py::object read_pcd_header(const py::object& source) {
    vantrel::ReadContext context{vantrel::source_name(source), std::nullopt};
    return vantrel::reading(context, [&] {
        vantrel::Source input(source, "read_pcd_header");
        vantrel::PcdHeader header = input.run([&](std::istream& in) {
            vantrel::PcdHeader parsed = vantrel::parse_pcd_header(in);
            context.header = parsed;
            // Without a DATA line the input is no PCD: refused as read_pcd refuses it.
            if (!parsed.data_line) {
                vantrel::LoadOptions options;
                options.require_coordinates = false;
                vantrel::check_header(parsed, options);
            }
            return parsed;
        });
        input.settle(header.data_offset);
        return py::reinterpret_steal<py::object>(vantrel::make_header(std::move(header)).release());
    });
}

void set_num_threads(const py::object& n) {
    const std::int64_t value = vantrel::integer_argument(n, "n");
    if (value < 1) throw py::value_error("set_num_threads() takes 1 or more threads, not " + std::string(py::str(n)));
    const std::int64_t most = vantrel::ThreadPool::most_threads;
    vantrel::ThreadPool::shared().set_threads(static_cast<int>(std::min(value, most)));
}

// VANTREL_NUM_THREADS, read once at import; a value that is no count is
// reported and left aside.
void threads_from_environment() {
    const char* text = std::getenv("VANTREL_NUM_THREADS");
    if (text == nullptr || *text == '\0') return;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 1 || value > vantrel::ThreadPool::most_threads) {
        const std::string message =
            std::string("VANTREL_NUM_THREADS=") + text + " is not a number of threads (1 or more); it is ignored";
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) throw py::error_already_set();
        return;
    }
    vantrel::ThreadPool::shared().set_threads(static_cast<int>(value));
}

// vantrel._testing, for the tests alone: found by import (it stands in
// sys.modules) but no attribute of the package, so not in dir(vantrel).
void add_testing_module() {
    auto testing = py::reinterpret_steal<py::module_>(PyModule_New("vantrel._testing"));
    if (!testing) throw py::error_already_set();
    testing.doc() = "Switches for the tests: not part of vantrel's interface.";
    testing.def(
        "set_parallel_threshold",
        [](std::int64_t bytes) {
            const std::int64_t before = vantrel::ThreadPool::shared().min_bytes();
            vantrel::ThreadPool::shared().set_min_bytes(bytes);
            return before;
        },
        py::arg("bytes"), "Sets the size (in bytes) from which work is shared; returns the one before.");
    py::module_::import("sys").attr("modules")["vantrel._testing"] = testing;
}

}  // namespace

PYBIND11_MODULE(vantrel, m) {
    m.doc() = "Fast PCD loading (ASCII, binary, binary_compressed)";
    // Every signature but load_pcd's comes from one source, the text
    // signatures (add_text_signatures), which a test holds to the stubs.
    py::options options;
    options.disable_function_signatures();
    m.attr("__version__") = VANTREL_VERSION;
    vantrel::register_errors(m);
    vantrel::register_cloud_types(m);
    vantrel::register_reader(m);
    vantrel::register_writer(m);
    vantrel::register_voxels(m);
    vantrel::register_tiles(m);
    vantrel::register_polygons(m);
    // The docstring is the one users have always read; it predates two
    // choices that it leaves out: fields with COUNT above 1 are (N, COUNT),
    // and coordinates may be float64. The stub's docstring says both.
    options.enable_function_signatures();
    m.def("load_pcd", &load_pcd, py::arg("filename"), R"pbdoc(
        Load a PCD file into NumPy arrays.

        Returns:
            points: np.ndarray of shape (N,3) with x,y,z
            fields: dict of other 1D NumPy arrays with arbitrary names/dtypes
    )pbdoc");
    options.disable_function_signatures();
    m.def("read_pcd", &vantrel::read_pcd, py::arg("source"), py::kw_only(), py::arg("fields") = py::none(),
          py::arg("mmap") = false, vantrel::doc::read_pcd);
    m.def("read_pcd_header", &read_pcd_header, py::arg("source"), vantrel::doc::read_pcd_header);
    threads_from_environment();
    m.def("set_num_threads", &set_num_threads, py::arg("n"), vantrel::doc::set_num_threads);
    m.def(
        "get_num_threads", [] { return vantrel::ThreadPool::shared().threads(); },
        "The number of threads a load or a write may use, its caller's included.");
    m.def("write_pcd", &vantrel::write_pcd_from_python, py::arg("target"), py::arg("fields") = py::none(),
          py::kw_only(), py::arg("points") = py::none(), py::arg("data") = "binary_compressed",
          py::arg("width") = py::none(), py::arg("height") = py::none(), py::arg("viewpoint") = py::none(),
          py::arg("group") = true, vantrel::doc::write_pcd);
    vantrel::add_text_signatures(m);
    add_testing_module();
    // The module is the package's __init__: vantrel.cli, vantrel.dask and the
    // other Python parts live beside it. The one way from here to them: this
    // import, last, after which the Python side attaches what it writes in
    // Python (colors, to_pandas) and hands back what the binding calls.
    if (py::hasattr(m, "__path__")) {
        vantrel::set_field_adapter(py::module_::import("vantrel._attach").attr("attach")(m));
    }
}
