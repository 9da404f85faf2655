// Where a PCD comes from: a path, bytes in memory, or a Python binary file
// object, each turned into the std::istream that the engine reads.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <istream>
#include <memory>
#include <optional>
#include <streambuf>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "pcd/load_driver.h"
#include "pcd/memory_stream.h"

namespace vantrel {

// The name of an object's type, for messages.
std::string type_name(pybind11::handle object);

// The path a str, bytes or os.PathLike names, as bytes (os.fsencode), or
// nothing for any other object.
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

// A source argument of read_pcd or read_pcd_header, checked and made ready
// with the GIL held (TypeError for a wrong kind or a text-mode file,
// ValueError for a closed one); `function` names the caller in messages.
class Source {
public:
    Source(pybind11::handle source, const char* function);
    ~Source();
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    // Runs `read` over the source's stream without the GIL and returns what
    // it returns. A path is opened first: a failure raises the matching
    // PcdOpenError. A failed read of a file object raises its exception,
    // before anything that `read` threw.
    template <typename Read>
    auto run(Read&& read) {
        using Result = decltype(read(std::declval<std::istream&>()));
        std::optional<Result> result;
        try {
            pybind11::gil_scoped_release release;
            if (path_) {
                std::ifstream file = open_pcd_file(*path_);
                result.emplace(read(file));
            } else {
                result.emplace(read(*stream_));
            }
        } catch (const OpenError& e) {
            raise_open(e);
        } catch (...) {
            rethrow_read_error();
            throw;
        }
        rethrow_read_error();
        return std::move(*result);
    }

    // Leaves a file object just after the first `consumed` bytes of the PCD,
    // as NumPy leaves a file after the array it read. GIL held.
    void settle(std::int64_t consumed);

private:
    [[noreturn]] void raise_open(const OpenError& error);
    void rethrow_read_error();

    pybind11::object argument_;        // as the caller gave it, for messages and OSError.filename
    std::optional<std::string> path_;  // a path, as bytes
    pybind11::object memory_;          // io.BytesIO: the bytes it holds
    std::int64_t memory_start_ = 0;    // the BytesIO's position when reading began
    std::unique_ptr<MemoryStreamBuf> memory_buffer_;
    std::unique_ptr<PyFileStreamBuf> file_buffer_;
    std::unique_ptr<std::istream> stream_;
};

}  // namespace vantrel
