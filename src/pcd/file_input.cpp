#include "pcd/file_input.h"

#include <cerrno>
#include <filesystem>

namespace vantrel {

std::ifstream open_pcd_file(const std::string& filename) {
    std::ifstream file;
    if (filename.find('\0') != std::string::npos) throw OpenError(filename, EINVAL);
    std::error_code ignored;
    if (std::filesystem::is_directory(filename, ignored)) throw OpenError(filename, EISDIR);
    errno = 0;
    file.open(filename, std::ios::in | std::ios::binary);
    if (!file.is_open()) throw OpenError(filename, errno != 0 ? errno : EIO);
    return file;
}

}  // namespace vantrel
