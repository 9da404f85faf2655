#include "module/errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "module/py_files.h"
#include "pcd/compressed_reader.h"
#include "pcd/file_output.h"
#include "pcd/interrupt.h"
#include "pcd/section_reader.h"

namespace py = pybind11;

namespace vantrel {
namespace {

// Created once at import and kept for the life of the process, as the module is.
PyObject* data_warning = nullptr;
PyObject* error_base = nullptr;
PyObject* open_error = nullptr;
PyObject* field_error = nullptr;
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
        throw;                      // pybind11's own, translated by its defaults
    } catch (const Interrupted&) {  // stopped for a signal whose exception was not kept
        PyErr_SetNone(PyExc_KeyboardInterrupt);
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
    error_base = new_exception(m, "Error",
                               "The base of vantrel's own errors, beside the built-in one each also is (OSError, "
                               "ValueError, KeyError): except vantrel.Error catches them all. The engine's other "
                               "refusals of a file are RuntimeError.",
                               py::make_tuple(py::handle(PyExc_Exception)));
    open_error = new_exception(
        m, "PcdOpenError",
        "A PCD file that cannot be opened: an OSError with errno, strerror and filename, and a "
        "RuntimeError with the message 'Cannot open PCD file: <name>'.",
        py::make_tuple(py::handle(error_base), py::handle(PyExc_OSError), py::handle(PyExc_RuntimeError)));
    field_error =
        new_exception(m, "FieldNotFoundError",
                      "A field asked for that the file does not hold: a ValueError, and a KeyError as it "
                      "has always been.",
                      py::make_tuple(py::handle(error_base), py::handle(PyExc_KeyError), py::handle(PyExc_ValueError)));
    py::object field_type = py::reinterpret_borrow<py::object>(field_error);
    field_type.attr("__str__") = py::cpp_function(  // the message as it is, not KeyError's repr of it
        [](py::handle self) -> py::str {
            const py::tuple args = self.attr("args");
            return args.size() == 1 ? py::str(args[0]) : py::str(py::handle(PyExc_KeyError).attr("__str__")(self));
        },
        py::is_method(field_type));
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

namespace {

// BaseException.add_note (Python 3.11); before it, the same list it keeps
// (__notes__), which the command line and tracebacks from 3.11 on show.
void add_note(py::handle error, const std::string& text) {
    if (py::hasattr(error, "add_note")) {
        error.attr("add_note")(py::str(text));
        return;
    }
    if (!py::hasattr(error, "__notes__")) error.attr("__notes__") = py::list();
    error.attr("__notes__").attr("append")(py::str(text));
}

}  // namespace

void raise_open_error(const OpenError& error, py::handle filename) {
    set_open_error(error, filename);
    py::error_already_set raised;
    // A URL is no path here; fsspec opens one as a file object, which is read as any other.
    if (PyUnicode_Check(filename.ptr()) &&
        !py::module_::import("re").attr("match")("[A-Za-z][A-Za-z0-9+.-]+://", filename).is_none()) {
        add_note(raised.value(),
                 "vantrel opens local paths; for a URL, open it with fsspec and pass the file object: "
                 "with fsspec.open(url, 'rb') as f: cloud = vantrel.read_pcd(f)");
    }
    throw raised;
}

void raise_write_error(const WriteError& error, py::handle filename) {
    // OSError(errno, strerror, filename) picks the matching kind, as open() does.
    const py::object instance =
        py::handle(PyExc_OSError)(error.error_number(), std::strerror(error.error_number()), filename);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance.ptr());
    throw py::error_already_set();
}

void warn_data(const std::string& shortfall, const std::optional<std::string>& name) {
    if (shortfall.empty()) return;
    const std::string message = name ? *name + ": " + shortfall : shortfall;
    if (PyErr_WarnEx(data_warning, message.c_str(), 1) != 0) throw py::error_already_set();
}

std::optional<std::string> source_name(py::handle source) {
    py::object name = py::reinterpret_borrow<py::object>(source);
    // No path is this long: data passed as a name is not shown in messages.
    if ((PyBytes_Check(source.ptr()) && static_cast<std::size_t>(PyBytes_GET_SIZE(source.ptr())) > longest_path) ||
        (PyUnicode_Check(source.ptr()) && static_cast<std::size_t>(PyUnicode_GET_LENGTH(source.ptr())) > longest_path))
        return std::nullopt;
    if (!PyUnicode_Check(source.ptr()) && !PyBytes_Check(source.ptr()) && !has_attribute(source, "__fspath__")) {
        if (!has_attribute(source, "name")) return std::nullopt;
        try {
            name = source.attr("name");
        } catch (const py::error_already_set& error) {
            pass_over(error);
            return std::nullopt;
        }
        if (!PyUnicode_Check(name.ptr()) && !PyBytes_Check(name.ptr()) && !has_attribute(name, "__fspath__")) {
            return std::nullopt;  // a file opened from a descriptor is named by its number
        }
    }
    try {
        // Bytes that are no UTF-8 come back from fsdecode as surrogates: shown escaped.
        const py::object text = py::module_::import("os").attr("fsdecode")(name);
        return py::bytes(text.attr("encode")("utf-8", "backslashreplace")).cast<std::string>();
    } catch (const py::error_already_set& error) {
        pass_over(error);  // a Ctrl-C that arrived during the call fires here: it goes on
        return std::nullopt;
    }
}

namespace {

// Sets the Python exception that a C++ exception maps to: the module's
// translator for its own, pybind11's mapping for the standard ones.
void set_error(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::range_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::runtime_error&) {
        translate(std::current_exception());
    } catch (const std::logic_error& e) {
        const bool value = dynamic_cast<const std::domain_error*>(&e) ||
                           dynamic_cast<const std::invalid_argument*>(&e) || dynamic_cast<const std::length_error*>(&e);
        PyErr_SetObject(value ? PyExc_ValueError : PyExc_RuntimeError, readable_text(e.what()).ptr());
    } catch (const Interrupted&) {
        translate(std::current_exception());
    } catch (const std::exception& e) {
        PyErr_SetObject(PyExc_RuntimeError, readable_text(e.what()).ptr());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown failure");
    }
}

}  // namespace

namespace {

// What a header claims of memory, beside what the file holds, for a load that found no memory for it.
std::string claim(const PcdHeader& header, const std::optional<std::string>& name) {
    std::string text = "the header claims " + std::to_string(header.points) + " points of " +
                       std::to_string(header.point_step) + " bytes, " +
                       std::to_string(std::int64_t{header.points} * header.point_step) +
                       " bytes in all, more than this process could allocate";
    if (name) {
        try {
            const auto size = py::module_::import("os").attr("stat")(*name).attr("st_size").cast<std::int64_t>();
            text += "; the file holds " + std::to_string(std::max<std::int64_t>(size - header.data_offset, 0)) +
                    " bytes of data";
        } catch (const py::error_already_set& error) {
            pass_over(error);
        }
    }
    return text;
}

}  // namespace

void raise_field_not_found(const std::string& message) {
    PyErr_SetObject(field_error, readable_text(message).ptr());
    throw py::error_already_set();
}

void raise_read_failure(std::exception_ptr failure, const ReadContext& context) {
    set_error(failure);
    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
        // A header that claims more than memory holds: say so, with the figures, not "std::bad_alloc".
        if (context.header && !context.fixed_messages) {
            PyErr_Clear();
            PyErr_SetString(PyExc_MemoryError, claim(*context.header, context.name).c_str());
        }
    } catch (...) {
    }
    const bool not_pcd =
        context.header && !context.header->data_line && context.header->opening.rfind("\x1f\x8b", 0) != 0;
    if (not_pcd && !context.fixed_messages && PyErr_ExceptionMatches(PyExc_RuntimeError)) {
        // read_pcd and its kin say what the input is not, where load_pcd keeps its own words.
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "it does not look like a PCD file: no DATA line ends its header");
    }
    py::error_already_set error;
    if (!error.matches(PyExc_Exception)) throw error;  // KeyboardInterrupt and the like carry no notes
    const auto note = [&](const std::string& text) { add_note(error.value(), readable_text(text)); };
    if (context.name) note("while reading " + std::string(py::repr(py::str(*context.name))));
    if (context.header && !context.header->data_line && !(not_pcd && !context.fixed_messages)) {
        const std::string& opening = context.header->opening;
        if (opening.size() >= 2 && opening[0] == '\x1f' && opening[1] == '\x8b') {
            note(
                "it is gzip-compressed, not a PCD file as it stands: open it with gzip.open(path, 'rb') and "
                "pass the file object to read_pcd");
        } else {
            note("it does not look like a PCD file: no DATA line ends its header");
        }
    }
    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
        if (context.header && context.fixed_messages) note(claim(*context.header, context.name));
    } catch (const DecompressionError& e) {
        if (e.sizes_present < 8) {
            note("the file ends inside the compressed block's two sizes: " + std::to_string(e.sizes_present) +
                 " of their 8 bytes are there");
        } else if (e.declared >= 0) {
            note("the compressed block declares " + std::to_string(e.declared) + " bytes of data, and the file holds " +
                 std::to_string(e.present) + " of them after its two sizes");
        }
    } catch (...) {
    }
    throw error;
}

}  // namespace vantrel
