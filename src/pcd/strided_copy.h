// Moving one field's values between layouts: records, planes, arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vantrel {

namespace detail {
template <std::size_t W>
void copy_fixed(const std::uint8_t* src, std::int64_t src_stride, std::uint8_t* dst, std::int64_t dst_stride,
                std::int64_t n) noexcept {
    for (std::int64_t i = 0; i < n; ++i, src += src_stride, dst += dst_stride) std::memcpy(dst, src, W);
}
}  // namespace detail

// Copies n rows of `width` bytes: row i from src + i * src_stride to
// dst + i * dst_stride. Strides may be any value; rows must not overlap.
// Throws nothing, allocates nothing.
inline void copy_rows(const std::uint8_t* src, std::int64_t src_stride, std::uint8_t* dst, std::int64_t dst_stride,
                      std::int64_t width, std::int64_t n) noexcept {
    switch (width) {
        case 1: return detail::copy_fixed<1>(src, src_stride, dst, dst_stride, n);
        case 2: return detail::copy_fixed<2>(src, src_stride, dst, dst_stride, n);
        case 4: return detail::copy_fixed<4>(src, src_stride, dst, dst_stride, n);
        case 8: return detail::copy_fixed<8>(src, src_stride, dst, dst_stride, n);
        case 12: return detail::copy_fixed<12>(src, src_stride, dst, dst_stride, n);
        case 16: return detail::copy_fixed<16>(src, src_stride, dst, dst_stride, n);
        default:
            if (width <= 0) return;
            for (std::int64_t i = 0; i < n; ++i, src += src_stride, dst += dst_stride) {
                std::memcpy(dst, src, static_cast<std::size_t>(width));
            }
    }
}

}  // namespace vantrel
