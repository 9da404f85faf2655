// Where written bytes go: a file, a Python file object, memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel {

// write() takes every byte or throws; a writer stops at the first exception
// and lets it pass unchanged.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual void write(const char* data, std::size_t size) = 0;
    // A hint, given before the first write when the writer knows it: the
    // number of bytes that will be written in all. Throws nothing.
    virtual void expect(std::uint64_t) noexcept {}
};

}  // namespace vantrel
