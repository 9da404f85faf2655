// The arguments that name where a PCD comes from and where one goes: a read
// source (a path, an io.BytesIO read in place, or a binary file object) as
// the engine's std::istream, and a write target (a path, replaced whole, or a
// binary file object) as the engine's ByteSink. Both run the engine without
// the interpreter lock and raise its failures as Python exceptions.
#pragma once

#include <cstdint>
#include <fstream>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <pybind11/pybind11.h>

#include "module/py_files.h"
#include "module/signals.h"
#include "pcd/file_input.h"
#include "pcd/file_output.h"
#include "pcd/memory_stream.h"

namespace vantrel {

// A source argument, checked and made ready with the GIL held (TypeError for
// a wrong kind or a text-mode file, ValueError for a closed one); `function`
// names the caller in messages. A path is opened at once: a failure raises
// the matching PcdOpenError.
class Source {
public:
    Source(pybind11::handle source, const char* function);
    ~Source();
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    // Runs `read` over the source's stream without the GIL and returns what
    // it returns. A signal handler that raises (Ctrl-C) stops it between
    // blocks, and its exception is raised; so is a failed read of a file
    // object, before anything that `read` threw.
    template <typename Read>
    auto run(Read&& read) {
        using Result = decltype(read(std::declval<std::istream&>()));
        std::optional<Result> result;
        try {
            result.emplace(without_gil([&] { return read(*stream_); }));
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

    // The argument as the caller gave it.
    const pybind11::object& argument() const noexcept { return argument_; }
    // The path, as bytes, when the argument is one.
    const std::optional<std::string>& path() const noexcept { return path_; }

private:
    void rethrow_read_error();

    pybind11::object argument_;        // as the caller gave it, for messages and OSError.filename
    std::optional<std::string> path_;  // a path, as bytes
    std::ifstream file_;               // the opened path
    pybind11::object memory_;          // io.BytesIO: the bytes it holds
    std::int64_t memory_start_ = 0;    // the BytesIO's position when reading began
    std::unique_ptr<MemoryStreamBuf> memory_buffer_;
    std::unique_ptr<PyFileStreamBuf> file_buffer_;
    std::unique_ptr<std::istream> owned_stream_;
    std::istream* stream_ = nullptr;
    bool read_error_raised_ = false;  // a file object's failure is raised once; the stream stays ended
};

// A write target argument, checked with the GIL held (TypeError for a wrong
// kind or a text-mode file, ValueError for a closed one). A path is written
// through FileOutput: opened at once, replaced only by commit(), and left as
// it was when the Target goes first.
class Target {
public:
    Target(pybind11::handle target, const char* function);
    ~Target();
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    // Runs `write` with the target's sink, without the GIL (which a file
    // object's writes take back). A signal handler that raises (Ctrl-C)
    // stops it between blocks, and its exception is raised; a failure raises
    // the matching OSError for a path, or a file object's own exception.
    template <typename Write>
    void run(Write&& write) {
        try {
            without_gil([&] { write(*sink_); });
        } catch (...) {
            raise_failure(std::current_exception());
        }
    }

    // Finishes a path target: its new content replaces the old, unless a
    // signal handler raises first (a Ctrl-C that came during the last block).
    // Raises as run() does. Nothing to do for a file object.
    void commit();

    bool is_path() const noexcept { return file_ != nullptr; }
    // True when what was written can be written over (a file, a seekable object).
    bool seekable() const noexcept { return file_ ? file_->seekable() : python_->seekable(); }
    const pybind11::object& argument() const noexcept { return argument_; }

private:
    [[noreturn]] void raise_failure(std::exception_ptr failure);

    pybind11::object argument_;
    std::unique_ptr<FileOutput> file_;
    std::unique_ptr<PyFileSink> python_;
    ByteSink* sink_ = nullptr;
};

}  // namespace vantrel
