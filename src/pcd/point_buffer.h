// The decoded point records of one load: points x point_step bytes that the
// system zero-fills lazily, so that a header which merely claims a large cloud
// costs address space, not touched memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace vantrel {

class PointBuffer {
public:
    PointBuffer() noexcept = default;

    // Throws std::length_error for a negative size and std::bad_alloc when
    // the memory cannot be had. Allocates at least one byte, so that data()
    // is never null, even for an empty cloud.
    explicit PointBuffer(std::int64_t size) {
        if (size < 0) {
            throw std::length_error("cannot create std::vector larger than max_size()");
        }
        const auto bytes = static_cast<std::uint64_t>(size);
        if (bytes > static_cast<std::uint64_t>(PTRDIFF_MAX)) {
            throw std::bad_alloc();
        }
        data_ = static_cast<std::uint8_t*>(std::calloc(bytes ? bytes : 1, 1));
        if (data_ == nullptr) {
            throw std::bad_alloc();
        }
        size_ = static_cast<std::size_t>(bytes);
    }

    PointBuffer(PointBuffer&& other) noexcept : data_(other.data_), size_(other.size_) {
        other.data_ = nullptr;
        other.size_ = 0;
    }
    PointBuffer& operator=(PointBuffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = other.data_;
            size_ = other.size_;
            other.data_ = nullptr;
            other.size_ = 0;
        }
        return *this;
    }
    PointBuffer(const PointBuffer&) = delete;
    PointBuffer& operator=(const PointBuffer&) = delete;
    ~PointBuffer() { std::free(data_); }

    std::uint8_t* data() noexcept { return data_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace vantrel
