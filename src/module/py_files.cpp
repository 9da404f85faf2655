#include "module/py_files.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "module/signals.h"
#include "pcd/file_input.h"

namespace py = pybind11;

namespace vantrel {
namespace {

constexpr std::size_t file_buffer_size = std::size_t{1} << 16;

[[noreturn]] void would_block() {
    PyErr_SetString(PyExc_BlockingIOError, "the file object has no data ready (non-blocking mode is not supported)");
    throw py::error_already_set();
}

// A memoryview over engine memory for readinto, released after the call so
// that a file object which keeps it cannot write there later.
class WritableView {
public:
    WritableView(char* data, std::streamsize size)
        : view_(py::reinterpret_steal<py::object>(PyMemoryView_FromMemory(data, size, PyBUF_WRITE))) {
        if (!view_) throw py::error_already_set();
    }
    ~WritableView() {
        PyObject* released = PyObject_CallMethod(view_.ptr(), "release", nullptr);
        if (released == nullptr) PyErr_Clear();  // a view still exported elsewhere: nothing more to do
        Py_XDECREF(released);
    }
    py::handle get() const noexcept { return view_; }

private:
    py::object view_;
};

// Where a file object stands, when it says it can seek and tells its
// position; nothing when it cannot (it is then read or written as a stream).
std::optional<std::int64_t> seekable_start(const py::object& file) {
    if (!has_attribute(file, "seekable") || !has_attribute(file, "seek") || !has_attribute(file, "tell"))
        return std::nullopt;
    try {
        if (!py::bool_(file.attr("seekable")())) return std::nullopt;
        return file.attr("tell")().cast<std::int64_t>();
    } catch (const py::error_already_set& error) {
        pass_over(error);
        return std::nullopt;
    }
}

}  // namespace

void pass_over_error() {
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
    } else {
        throw py::error_already_set();
    }
}

void pass_over(const py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw error;
}

void closed_file() {
    throw py::value_error("I/O operation on closed file.");
}

bool has_attribute(py::handle object, const char* name) {
    PyObject* value = PyObject_GetAttrString(object.ptr(), name);
    if (value != nullptr) {
        Py_DECREF(value);
        return true;
    }
    pass_over_error();
    return false;
}

std::string type_name(py::handle object) {
    return py::str(py::type::handle_of(object).attr("__qualname__"));
}

std::int64_t integer_argument(py::handle value, const char* what) {
    const py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!number) {
        pass_over_error();
        throw py::type_error(std::string(what) + " must be an integer, not " + type_name(value));
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    return overflow > 0 ? INT64_MAX : overflow < 0 ? INT64_MIN : n;
}

// Bytes that are no path but the file's own data (read_pcd(f.read())): longer
// than any path, or starting as a PCD header does. Refused at once, before
// they are opened, decoded or shown whole.
void refuse_data_as_path(py::handle object) {
    if (!PyBytes_Check(object.ptr())) return;
    const std::string_view bytes(PyBytes_AS_STRING(object.ptr()),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(object.ptr())));
    const bool header =
        bytes.rfind("# .PCD", 0) == 0 || bytes.rfind("VERSION", 0) == 0 || bytes.rfind("FIELDS", 0) == 0;
    if (bytes.size() <= longest_path && !header) return;
    throw py::value_error("these " + std::to_string(bytes.size()) + " bytes are " +
                          (header ? "a PCD file's data" : "longer than any path") +
                          ", not a path: to read data held in memory, wrap it in a file object, as in "
                          "read_pcd(io.BytesIO(data))");
}

std::optional<std::string> path_bytes(py::handle object) {
    if (!PyUnicode_Check(object.ptr()) && !PyBytes_Check(object.ptr()) && !has_attribute(object, "__fspath__")) {
        return std::nullopt;
    }
    refuse_data_as_path(object);
    const py::object path = py::reinterpret_steal<py::object>(PyOS_FSPath(object.ptr()));
    if (!path) throw py::error_already_set();
    py::object encoded = path;
    if (PyUnicode_Check(path.ptr())) {
        encoded = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(path.ptr()));
        if (!encoded) throw py::error_already_set();
    }
    return std::string(py::bytes(encoded));
}

void check_binary_file(py::handle file, const char* function, const char* mode,
                       std::initializer_list<const char*> methods) {
    if (py::isinstance(file, py::module_::import("io").attr("TextIOBase"))) {
        throw py::type_error(std::string(function) + "() needs a binary file object, not the text-mode " +
                             type_name(file) + ": open the file with '" + mode + "'");
    }
    bool usable = false;
    for (const char* method : methods) usable = usable || has_attribute(file, method);
    if (!usable) {
        throw py::type_error(std::string(function) + "() needs a path (str, bytes or os.PathLike) or a binary file " +
                             "object, not " + type_name(file));
    }
    if (has_attribute(file, "closed") && py::bool_(file.attr("closed"))) {
        closed_file();
    }
}

PyFileStreamBuf::PyFileStreamBuf(py::object file) : file_(std::move(file)), buffer_(file_buffer_size) {
    has_readinto_ = has_attribute(file_, "readinto");
    const std::optional<std::int64_t> start = seekable_start(file_);
    seekable_ = start.has_value();
    start_ = start.value_or(0);
    setg(buffer_.data(), buffer_.data(), buffer_.data());
}

PyFileStreamBuf::~PyFileStreamBuf() = default;

std::streamsize PyFileStreamBuf::fill(char* dst, std::streamsize n) noexcept {
    if (error_ || n <= 0) return 0;
    py::gil_scoped_acquire acquire;
    try {
        SignalCheck::run_handlers();  // with the GIL in hand anyway: a Ctrl-C ends the stream as a failure
        if (has_readinto_) {
            const WritableView view(dst, n);
            const py::object got = file_.attr("readinto")(view.get());
            if (got.is_none()) would_block();
            const auto count = got.cast<std::int64_t>();
            if (count < 0 || count > n) {
                throw py::value_error("readinto() returned " + std::to_string(count) + " for a buffer of " +
                                      std::to_string(n) + " bytes");
            }
            position_ += count;
            return static_cast<std::streamsize>(count);
        }
        const py::object got = file_.attr("read")(n);
        if (got.is_none()) would_block();
        if (PyUnicode_Check(got.ptr())) {
            throw py::type_error("read() returned str, not bytes: open the file in binary mode ('rb')");
        }
        Py_buffer view;
        if (PyObject_GetBuffer(got.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
        const auto count = static_cast<std::streamsize>(view.len);
        if (count <= n) std::memcpy(dst, view.buf, static_cast<std::size_t>(count));
        PyBuffer_Release(&view);
        if (count > n) {
            throw py::value_error("read() returned " + std::to_string(count) + " bytes when asked for " +
                                  std::to_string(n));
        }
        position_ += count;
        return count;
    } catch (...) {
        error_ = std::current_exception();
        return 0;
    }
}

PyFileStreamBuf::int_type PyFileStreamBuf::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    const std::streamsize got = fill(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    setg(buffer_.data(), buffer_.data(), buffer_.data() + got);
    return got > 0 ? traits_type::to_int_type(*gptr()) : traits_type::eof();
}

std::streamsize PyFileStreamBuf::xsgetn(char* s, std::streamsize n) {
    std::streamsize done = std::min<std::streamsize>(n, egptr() - gptr());
    std::memcpy(s, gptr(), static_cast<std::size_t>(done));
    gbump(static_cast<int>(done));
    // Large reads go straight into the caller's memory (the point buffer).
    while (done < n) {
        if (n - done < static_cast<std::streamsize>(buffer_.size())) {
            if (traits_type::eq_int_type(underflow(), traits_type::eof())) break;
            const std::streamsize part = std::min<std::streamsize>(n - done, egptr() - gptr());
            std::memcpy(s + done, gptr(), static_cast<std::size_t>(part));
            gbump(static_cast<int>(part));
            done += part;
        } else {
            const std::streamsize got = fill(s + done, n - done);
            if (got == 0) break;
            done += got;
        }
    }
    return done;
}

PyFileStreamBuf::pos_type PyFileStreamBuf::seekoff(off_type off, std::ios_base::seekdir dir,
                                                   std::ios_base::openmode which) {
    const std::int64_t here = position_ - (egptr() - gptr());
    const pos_type failed(off_type(-1));
    if (!(which & std::ios_base::in)) return failed;
    if (dir == std::ios_base::cur && off == 0) return pos_type(here);  // tellg, also for streams
    if (!seekable_ || error_) return failed;
    py::gil_scoped_acquire acquire;
    try {
        std::int64_t target = off;
        if (dir == std::ios_base::cur) target = here + off;
        if (dir == std::ios_base::end) target = file_.attr("seek")(0, 2).cast<std::int64_t>() - start_ + off;
        if (target < 0) return failed;
        file_.attr("seek")(start_ + target);
        setg(buffer_.data(), buffer_.data(), buffer_.data());
        position_ = target;
        return pos_type(target);
    } catch (...) {
        error_ = std::current_exception();
        return failed;
    }
}

PyFileStreamBuf::pos_type PyFileStreamBuf::seekpos(pos_type pos, std::ios_base::openmode which) {
    return seekoff(off_type(pos), std::ios_base::beg, which);
}

void PyFileStreamBuf::settle(std::int64_t consumed) {
    if (seekable_ && !error_) file_.attr("seek")(start_ + consumed);
}

PyFileSink::PyFileSink(py::object file) : file_(std::move(file)) {
    const std::optional<std::int64_t> start = seekable_start(file_);
    seekable_ = start.has_value();
    start_ = start.value_or(0);
    bytes_io_ = seekable_ && py::type::of(file_).is(py::module_::import("io").attr("BytesIO"));
}

void PyFileSink::put(const char* data, std::size_t size) {
    while (size > 0) {
        // A copy, since a file object may keep what it is given beyond the
        // call; not for a BytesIO, which copies it into itself at once.
        const py::object chunk = bytes_io_
                                     ? py::object(py::memoryview::from_memory(data, static_cast<py::ssize_t>(size)))
                                     : py::object(py::bytes(data, size));
        const py::object written = file_.attr("write")(chunk);
        // None means all of it, as for most file-likes; a raw file may take part.
        const std::size_t done = written.is_none() ? size : written.cast<std::size_t>();
        if (done == 0 || done > size) {
            throw py::value_error("write() returned " + std::to_string(done) + " for " + std::to_string(size) +
                                  " bytes");
        }
        data += done;
        size -= done;
    }
}

void PyFileSink::write(const char* data, std::size_t size) {
    py::gil_scoped_acquire acquire;
    try {
        SignalCheck::run_handlers();
        put(data, size);
    } catch (...) {
        error_ = std::current_exception();
        throw Stopped();
    }
}

void PyFileSink::rewrite(std::uint64_t at, const char* data, std::size_t size) {
    py::gil_scoped_acquire acquire;
    try {
        const py::object end = file_.attr("tell")();
        file_.attr("seek")(start_ + static_cast<std::int64_t>(at));
        put(data, size);
        file_.attr("seek")(end);
    } catch (...) {
        error_ = std::current_exception();
        throw Stopped();
    }
}

}  // namespace vantrel
