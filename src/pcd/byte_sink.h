// Where written bytes go: a file, a Python file object, memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

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
    // Writes `size` bytes over those written from byte `at` on (counted from
    // the sink's first byte), and goes on writing after the last byte written
    // so far. Throws std::logic_error for a sink that cannot go back.
    virtual void rewrite(std::uint64_t at, const char* data, std::size_t size) {
        static_cast<void>(at), static_cast<void>(data), static_cast<void>(size);
        throw std::logic_error("this target cannot seek back");
    }
};

}  // namespace vantrel
