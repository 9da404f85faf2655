#include "module/errors.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "pcd/file_output.h"
#include "pcd/section_reader.h"

namespace py = pybind11;

namespace vantrel {
namespace {

// Created once at import and kept for the life of the process, as the module is.
PyObject* data_warning = nullptr;
PyObject* open_error = nullptr;
PyObject* not_found_error = nullptr;
PyObject* directory_error = nullptr;
PyObject* permission_error = nullptr;

PyObject* new_exception(py::module_& m, const char* name, const char* doc, py::tuple bases) {
    const std::string qualified = "vantrel." + std::string(name);
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases.ptr(), nullptr);
    if (type == nullptr) throw py::error_already_set();
    m.add_object(name, py::reinterpret_borrow<py::object>(type));
    return type;  // the reference from PyErr_NewExceptionWithDoc is kept
}

PyObject* open_error_kind(int error_number) noexcept {
    switch (error_number) {
        case ENOENT: return not_found_error;
        case EISDIR: return directory_error;
        case EACCES:
        case EPERM: return permission_error;
        default: return open_error;
    }
}

void set_open_error(const OpenError& error, py::handle filename) {
    PyObject* kind = open_error_kind(error.error_number());
    py::object instance = py::reinterpret_borrow<py::object>(kind)(readable_text(error.message()));
    instance.attr("errno") = error.error_number();
    instance.attr("strerror") = std::strerror(error.error_number());
    instance.attr("filename") = filename;
    PyErr_SetObject(kind, instance.ptr());
}

void translate(std::exception_ptr pending) {
    try {
        std::rethrow_exception(pending);
    } catch (const py::builtin_exception&) {
        throw;  // pybind11's own, translated by its defaults
    } catch (const UnsupportedOperation& e) {
        const py::object kind = py::module_::import("io").attr("UnsupportedOperation");
        PyErr_SetString(kind.ptr(), e.what());
    } catch (const OpenError& e) {
        // load_pcd's argument arrives as bytes: name the file as os.fsdecode would.
        const std::string& name = e.filename();
        PyObject* decoded = PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (decoded == nullptr) return;
        set_open_error(e, py::reinterpret_steal<py::object>(decoded));
    } catch (const std::runtime_error& e) {
        PyErr_SetObject(PyExc_RuntimeError, readable_text(e.what()).ptr());
    }
}

}  // namespace

// A name that is not UTF-8 must not turn a RuntimeError into a UnicodeDecodeError.
py::str readable_text(const std::string& bytes) {
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "backslashreplace");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

void register_errors(py::module_& m) {
    data_warning = new_exception(m, "DataWarning",
                                 "A PCD data section that holds fewer points than its header declares, or a value "
                                 "that cannot be read. What the file lacks reads as zero.",
                                 py::make_tuple(py::handle(PyExc_UserWarning)));
    open_error = new_exception(m, "PcdOpenError",
                               "A PCD file that cannot be opened: an OSError with errno, strerror and filename, and a "
                               "RuntimeError with the message 'Cannot open PCD file: <name>'.",
                               py::make_tuple(py::handle(PyExc_OSError), py::handle(PyExc_RuntimeError)));
    // OSError's own str() would show "[Errno 2] ..."; the message stays the one
    // that RuntimeError has always carried.
    py::object open_type = py::reinterpret_borrow<py::object>(open_error);
    open_type.attr("__str__") = py::cpp_function(
        [](py::handle self) -> py::str {
            const py::tuple args = self.attr("args");
            return args.size() == 1 ? py::str(args[0]) : py::str(py::handle(PyExc_OSError).attr("__str__")(self));
        },
        py::is_method(open_type));
    // Pickling (for process pools and Dask) keeps errno, strerror and filename.
    open_type.attr("__reduce__") = py::cpp_function(
        [](py::handle self) {
            py::dict state;
            for (const char* name : {"errno", "strerror", "filename"}) state[name] = self.attr(name);
            return py::make_tuple(py::type::handle_of(self), self.attr("args"), state);
        },
        py::is_method(open_type));
    const auto kind = [&](const char* name, const char* doc, PyObject* os_kind) {
        return new_exception(m, name, doc, py::make_tuple(py::handle(open_error), py::handle(os_kind)));
    };
    not_found_error = kind("PcdFileNotFoundError", "A PCD file that does not exist.", PyExc_FileNotFoundError);
    directory_error = kind("PcdIsADirectoryError", "A directory given as a PCD file.", PyExc_IsADirectoryError);
    permission_error = kind("PcdPermissionError", "A PCD file that may not be read.", PyExc_PermissionError);
    py::register_local_exception_translator(translate);
}

void raise_open_error(const OpenError& error, py::handle filename) {
    set_open_error(error, filename);
    throw py::error_already_set();
}

void raise_write_error(const WriteError& error, py::handle filename) {
    // OSError(errno, strerror, filename) picks the matching kind, as open() does.
    const py::object instance =
        py::handle(PyExc_OSError)(error.error_number(), std::strerror(error.error_number()), filename);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance.ptr());
    throw py::error_already_set();
}

void warn_data(const std::string& shortfall) {
    if (shortfall.empty()) return;
    if (PyErr_WarnEx(data_warning, shortfall.c_str(), 1) != 0) throw py::error_already_set();
}

}  // namespace vantrel
