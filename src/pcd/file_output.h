// Files that appear whole or not at all: written under a temporary name in
// the same folder, then renamed over the target.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

#include "pcd/byte_sink.h"

namespace vantrel {

// A system call that failed while writing `filename`; errno says why.
class WriteError : public std::runtime_error {
public:
    WriteError(const std::string& filename, int error_number);
    const std::string& filename() const noexcept { return filename_; }
    int error_number() const noexcept { return error_number_; }

private:
    std::string filename_;
    int error_number_;
};

// Writes `path` (bytes, used unchanged) so that it is replaced only once the
// new content is complete: the bytes go to a new file beside it, which
// commit() closes and renames over the target, keeping an existing target's
// permission bits. Destroyed before commit(), it removes the temporary file,
// and the target keeps its old content or stays absent. A target that exists
// and is not a regular file (a device such as /dev/null, a FIFO) cannot be
// replaced: it is written in place. A symbolic link (or a chain of them) is
// followed: the file it points to is replaced, and the link stays; a dangling
// link's target is created. Throws WriteError (with errno) when a call fails.
class FileOutput : public ByteSink {
public:
    explicit FileOutput(const std::string& path);
    ~FileOutput() override;
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;

    void write(const char* data, std::size_t size) override;
    void rewrite(std::uint64_t at, const char* data, std::size_t size) override;
    // True when rewrite() can go back: a file, not a FIFO or a terminal.
    bool seekable() const noexcept;
    // Allocates the file's blocks up front, as numpy's tofile does: one
    // allocation instead of one per page as the writes come.
    void expect(std::uint64_t size) noexcept override;
    void commit();

private:
    std::string path_;       // as the caller named it, for errors
    std::string target_;     // the file it names, symbolic links followed
    std::string temporary_;  // empty when writing in place
    int fd_ = -1;
    bool committed_ = false;
};

}  // namespace vantrel
