// Files read from a path: opened as raw bytes, or refused with the reason.
#pragma once

#include <cstddef>
#include <fstream>
#include <stdexcept>
#include <string>

namespace vantrel {

// A file that cannot be opened: the message names it, and the system's error
// number says why (ENOENT, EISDIR, EACCES, ...).
// The longest path the system opens (PATH_MAX): anything longer given as a
// name is a file's data, not a path.
constexpr std::size_t longest_path = 4096;

class OpenError : public std::runtime_error {
public:
    OpenError(const std::string& filename, int error_number)
        : OpenError("Cannot open PCD file: " + shown(filename), filename, error_number) {}
    // The whole message, also past a NUL byte in the name, where what() stops.
    const std::string& message() const noexcept { return message_; }
    const std::string& filename() const noexcept { return filename_; }
    int error_number() const noexcept { return error_number_; }

private:
    // The name as given, but for one longer than any path (a file's data
    // passed as its name): its start and its length, not megabytes of it.
    static std::string shown(const std::string& name) {
        if (name.size() <= longest_path) return name;
        return name.substr(0, 64) + "... (" + std::to_string(name.size()) + " bytes, longer than any path)";
    }

    OpenError(const std::string& message, const std::string& filename, int error_number)
        : std::runtime_error(message), message_(message), filename_(filename), error_number_(error_number) {}

    std::string message_;
    std::string filename_;
    int error_number_;
};

// Opens `filename` (bytes, used unchanged as the path) for reading as raw
// bytes. Throws OpenError when it cannot be opened: a name with a NUL byte
// (EINVAL; it would open the file named by its prefix) and a directory
// (EISDIR; it would read as an empty file) included.
std::ifstream open_pcd_file(const std::string& filename);

}  // namespace vantrel
