#include "module/sources.h"

#include <algorithm>

#include "module/errors.h"

namespace py = pybind11;

namespace vantrel {

Source::Source(py::handle source, const char* function) : argument_(py::reinterpret_borrow<py::object>(source)) {
    path_ = path_bytes(source);
    if (path_) {
        try {
            py::gil_scoped_release release;
            file_ = open_pcd_file(*path_);
        } catch (const OpenError& e) {
            raise_open_error(e, argument_);
        }
        stream_ = &file_;
        return;
    }
    check_binary_file(source, function, "rb", {"readinto", "read"});
    const py::module_ io = py::module_::import("io");
    if (py::isinstance(source, io.attr("BytesIO"))) {
        // Its bytes where they lie: getvalue() hands out the object the BytesIO
        // holds (a buffer export would first copy it). Holding a reference keeps
        // them unchanged while the engine reads: a write to the BytesIO copies.
        py::object value = source.attr("getvalue")();
        if (PyBytes_Check(value.ptr())) {
            memory_start_ = source.attr("tell")().cast<std::int64_t>();
            memory_ = std::move(value);
            const auto size = static_cast<std::int64_t>(PyBytes_GET_SIZE(memory_.ptr()));
            const std::int64_t start = std::min(memory_start_, size);
            memory_buffer_ = std::make_unique<MemoryStreamBuf>(PyBytes_AS_STRING(memory_.ptr()) + start,
                                                               static_cast<std::size_t>(size - start));
            owned_stream_ = std::make_unique<std::istream>(memory_buffer_.get());
            stream_ = owned_stream_.get();
            return;
        }
    }
    file_buffer_ = std::make_unique<PyFileStreamBuf>(argument_);
    owned_stream_ = std::make_unique<std::istream>(file_buffer_.get());
    stream_ = owned_stream_.get();
}

Source::~Source() = default;

void Source::settle(std::int64_t consumed) {
    if (memory_) argument_.attr("seek")(memory_start_ + consumed);
    if (file_buffer_) file_buffer_->settle(consumed);
}

void Source::rethrow_read_error() {
    if (!file_buffer_ || !file_buffer_->error() || read_error_raised_) return;
    read_error_raised_ = true;
    std::rethrow_exception(file_buffer_->error());
}

Target::Target(py::handle target, const char* function) : argument_(py::reinterpret_borrow<py::object>(target)) {
    if (const std::optional<std::string> name = path_bytes(target)) {
        try {
            py::gil_scoped_release release;
            file_ = std::make_unique<FileOutput>(*name);
        } catch (...) {
            raise_failure(std::current_exception());
        }
        sink_ = file_.get();
        return;
    }
    check_binary_file(target, function, "wb", {"write"});
    python_ = std::make_unique<PyFileSink>(argument_);
    sink_ = python_.get();
}

Target::~Target() {
    py::gil_scoped_release release;  // removing a temporary file is a system call
    file_.reset();
}

void Target::commit() {
    if (!file_) return;
    SignalCheck::run_handlers();
    try {
        py::gil_scoped_release release;
        file_->commit();
    } catch (...) {
        raise_failure(std::current_exception());
    }
}

void Target::raise_failure(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const WriteError& e) {
        raise_write_error(e, argument_);
    } catch (const PyFileSink::Stopped&) {
        python_->rethrow();
        throw;
    }
}

}  // namespace vantrel
