#include "pcd/file_output.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {
namespace {

// Beside the target, hidden, and unlikely to meet another writer's name.
std::string temporary_name(const std::string& path, std::uint64_t salt) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string tag;
    for (int i = 0; i < 10; ++i, salt /= 36) tag += digits[salt % 36];
    return folder + "." + base + "." + tag + ".tmp";
}

// A temporary name's salt, from a generator of the calling thread's seeded once: a
// std::random_device costs tens of microseconds on a virtual machine (it asks the processor what
// it offers), which a tile of many small files paid for each one. The process id is mixed into
// each draw, so that a forked child does not draw its parent's names.
std::uint64_t next_salt() {
    thread_local std::mt19937_64 salt = [] {
        std::random_device entropy;
        return std::mt19937_64((std::uint64_t{entropy()} << 32) ^ entropy() ^
                               static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    }();
    return salt() ^ (static_cast<std::uint64_t>(::getpid()) * 0x9e3779b97f4a7c15u);
}

// The file a path finally names: its symbolic links followed (a relative
// one from the folder it stands in), so that a write replaces the file a
// link points to and keeps the link. A dangling link names the file to create.
std::string final_target(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info{};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
        std::string target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 4096) + 1, '\0');
        const ::ssize_t length = ::readlink(current.c_str(), target.data(), target.size());
        if (length < 0) throw WriteError(path, errno);
        target.resize(static_cast<std::size_t>(length));
        if (!target.empty() && target[0] != '/') {
            const std::size_t slash = current.rfind('/');
            if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
        }
        current = target;
    }
    throw WriteError(path, ELOOP);
}

}  // namespace

WriteError::WriteError(const std::string& filename, int error_number)
    : std::runtime_error("cannot write " + filename), filename_(filename), error_number_(error_number) {}

FileOutput::FileOutput(const std::string& path) : path_(path) {
    if (path.find('\0') != std::string::npos) throw WriteError(path, EINVAL);
    target_ = final_target(path);
    struct stat target{};
    const bool exists = ::stat(target_.c_str(), &target) == 0;
    if (exists && S_ISDIR(target.st_mode)) throw WriteError(path, EISDIR);
    if (exists && !S_ISREG(target.st_mode)) {
        fd_ = ::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd_ < 0) throw WriteError(path, errno);
        return;
    }
    for (int attempt = 0; fd_ < 0; ++attempt) {
        temporary_ = temporary_name(target_, next_salt());
        fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);  // the umask applies
        if (fd_ < 0 && (errno != EEXIST || attempt > 100)) {
            const int error = errno;
            temporary_.clear();
            throw WriteError(path, error);
        }
    }
    // The new file keeps the old one's permissions rather than the umask's.
    if (exists && ::fchmod(fd_, target.st_mode & 07777) != 0) {
        const int error = errno;
        ::close(fd_);
        ::unlink(temporary_.c_str());
        throw WriteError(path, error);
    }
}

FileOutput::~FileOutput() {
    if (committed_) return;
    if (fd_ >= 0) ::close(fd_);
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

void FileOutput::write(const char* data, std::size_t size) {
    while (size > 0) {
        const ::ssize_t done = ::write(fd_, data, size);
        if (done < 0) {
            if (errno == EINTR) continue;
            throw WriteError(path_, errno);
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
}

void FileOutput::rewrite(std::uint64_t at, const char* data, std::size_t size) {
    while (size > 0) {
        const ::ssize_t done = ::pwrite(fd_, data, size, static_cast<off_t>(at));
        if (done < 0) {
            if (errno == EINTR) continue;
            throw WriteError(path_, errno);
        }
        data += done;
        size -= static_cast<std::size_t>(done);
        at += static_cast<std::uint64_t>(done);
    }
}

bool FileOutput::seekable() const noexcept {
    return ::lseek(fd_, 0, SEEK_CUR) != -1;
}

void FileOutput::expect(std::uint64_t size) noexcept {
#ifdef FALLOC_FL_KEEP_SIZE
    // Advice only: a file system that cannot reserve space still takes the writes.
    static_cast<void>(::fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)));
#else
    static_cast<void>(size);
#endif
}

void FileOutput::commit() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw WriteError(path_, errno);  // a delayed write error shows here
    if (!temporary_.empty() && ::rename(temporary_.c_str(), target_.c_str()) != 0) throw WriteError(path_, errno);
    committed_ = true;
}

}  // namespace vantrel
