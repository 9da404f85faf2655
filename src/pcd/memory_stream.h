// An input stream over bytes that are already in memory: seekable, and read
// without a copy of its own.
#pragma once

#include <cstddef>
#include <istream>
#include <streambuf>

namespace vantrel {

// Reads [data, data + size), which must outlive it. Seeks anywhere inside the
// range; positions count from `data`. Throws nothing, allocates nothing.
class MemoryStreamBuf : public std::streambuf {
public:
    MemoryStreamBuf(const char* data, std::size_t size) noexcept {
        char* first = const_cast<char*>(data);  // the get area is never written through
        setg(first, first, first + size);
    }

protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override {
        if (!(which & std::ios_base::in)) return pos_type(off_type(-1));
        const off_type base = dir == std::ios_base::beg   ? 0
                              : dir == std::ios_base::cur ? gptr() - eback()
                                                          : egptr() - eback();
        const off_type target = base + off;
        if (target < 0 || target > egptr() - eback()) return pos_type(off_type(-1));
        setg(eback(), eback() + target, egptr());
        return pos_type(target);
    }

    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
        return seekoff(off_type(pos), std::ios_base::beg, which);
    }
};

// The stream over a MemoryStreamBuf, for callers that want one object.
class MemoryStream : public std::istream {
public:
    MemoryStream(const char* data, std::size_t size) : std::istream(nullptr), buffer_(data, size) { rdbuf(&buffer_); }

private:
    MemoryStreamBuf buffer_;
};

}  // namespace vantrel
