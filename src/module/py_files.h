// Python file objects for the engine, both ways: a std::streambuf that reads
// one and a ByteSink that writes one, each taking the interpreter lock only
// for the calls into Python; and the argument checks for paths and files.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <istream>
#include <optional>
#include <streambuf>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "pcd/byte_sink.h"

namespace vantrel {

// The name of an object's type, for messages.
std::string type_name(pybind11::handle object);

// After a Python call failed, where the caller may go on without its result:
// an Exception is passed over (cleared), anything else (KeyboardInterrupt,
// SystemExit) is never swallowed and leaves as error_already_set.
void pass_over_error();
void pass_over(const pybind11::error_already_set& error);

// Raises ValueError("I/O operation on closed file."), as io's files do.
[[noreturn]] void closed_file();

// hasattr, passing over what looking the attribute up raises as pass_over_error does.
bool has_attribute(pybind11::handle object, const char* name);

// A Python integer argument (anything with __index__), saturated to 64
// bits; TypeError "<what> must be an integer, not <type>" for anything else.
std::int64_t integer_argument(pybind11::handle value, const char* what);

// The path a str, bytes or os.PathLike names, as bytes (os.fsencode), or
// nothing for any other object. ValueError for bytes that are a file's data
// rather than a path (longer than any path, or starting as a PCD header).
std::optional<std::string> path_bytes(pybind11::handle object);

// Checks that `file` is an open binary file object that has `method`
// ("readinto" or "read" for reading, "write" for writing): TypeError for a
// text-mode file or another object, ValueError for a closed file.
// `function` names the caller and `mode` ("rb", "wb") the mode to open with.
void check_binary_file(pybind11::handle file, const char* function, const char* mode,
                       std::initializer_list<const char*> methods);

// Reads a Python binary file object for the engine, which runs without the
// interpreter lock: each refill takes the lock for one call of readinto (or
// read). A call that raises, or returns what a binary file must not, ends
// the stream as its end would; the exception is kept for the caller to
// raise. Positions count from where the object stood when reading began.
// Construct and destroy with the GIL held; read without it.
class PyFileStreamBuf : public std::streambuf {
public:
    explicit PyFileStreamBuf(pybind11::object file);
    ~PyFileStreamBuf() override;

    // The exception that ended the stream, if any.
    std::exception_ptr error() const noexcept { return error_; }

    // Leaves a seekable object just after the first `consumed` bytes. GIL held.
    void settle(std::int64_t consumed);

protected:
    int_type underflow() override;
    std::streamsize xsgetn(char* s, std::streamsize n) override;
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override;
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;

private:
    // One call into Python for up to `n` bytes at `dst`; 0 at the end or on
    // a failure (kept in error_).
    std::streamsize fill(char* dst, std::streamsize n) noexcept;

    pybind11::object file_;
    bool has_readinto_ = false;
    bool seekable_ = false;
    std::int64_t start_ = 0;     // the object's position when reading began
    std::int64_t position_ = 0;  // bytes taken from the object since, up to egptr()
    std::vector<char> buffer_;
    std::exception_ptr error_;
};

// Writes to a Python binary file object for the engine, which runs without
// the interpreter lock: each write takes the lock for one call of write
// (retried while a raw file takes part of the bytes). The first exception
// stops the writer: write() then throws Stopped, and rethrow() raises the
// kept exception. Construct and destroy with the GIL held.
class PyFileSink : public ByteSink {
public:
    // Notes where a seekable file stands, for rewrite(). GIL held.
    explicit PyFileSink(pybind11::object file);

    void write(const char* data, std::size_t size) override;
    void rewrite(std::uint64_t at, const char* data, std::size_t size) override;
    bool seekable() const noexcept { return seekable_; }
    void rethrow() const {
        if (error_) std::rethrow_exception(error_);
    }

    struct Stopped : std::exception {};

private:
    // One write call's worth of bytes, all of them taken. GIL held.
    void put(const char* data, std::size_t size);

    pybind11::object file_;
    bool seekable_ = false;
    bool bytes_io_ = false;   // exactly an io.BytesIO, which copies what write() is given at once
    std::int64_t start_ = 0;  // where the file stood before the first byte
    std::exception_ptr error_;
};

}  // namespace vantrel
