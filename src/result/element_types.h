// The element types that PCD files and NumPy share: a TYPE letter and SIZE
// on one side, a NumPy type number on the other.
#pragma once

#include <cstdint>
#include <cstring>

namespace vantrel {

// NumPy's type numbers for these types, as its C API names them (NPY_BYTE
// ... NPY_DOUBLE); long is 64 bits on every target.
enum NpyType : int {
    npy_byte = 1,
    npy_ubyte = 2,
    npy_short = 3,
    npy_ushort = 4,
    npy_int = 5,
    npy_uint = 6,
    npy_long = 7,
    npy_ulong = 8,
    npy_float = 11,
    npy_double = 12,
};

template <typename T>
double read_element(const std::uint8_t* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof value);
    return static_cast<double>(value);  // exact for every element that float32 coordinates admit
}

// One table serves the dtype of a field's view, the read of one element for
// coordinates that are gathered into a copy, and the TYPE and SIZE that an
// array is written with.
struct ElementType {
    char type;
    std::int32_t size;
    NpyType npy;
    double (*read)(const std::uint8_t*) noexcept;
};

inline constexpr ElementType element_types[] = {
    {'F', 4, npy_float, read_element<float>},        {'F', 8, npy_double, read_element<double>},
    {'I', 1, npy_byte, read_element<std::int8_t>},   {'I', 2, npy_short, read_element<std::int16_t>},
    {'I', 4, npy_int, read_element<std::int32_t>},   {'I', 8, npy_long, read_element<std::int64_t>},
    {'U', 1, npy_ubyte, read_element<std::uint8_t>}, {'U', 2, npy_ushort, read_element<std::uint16_t>},
    {'U', 4, npy_uint, read_element<std::uint32_t>}, {'U', 8, npy_ulong, read_element<std::uint64_t>},
};

// The entry for a TYPE letter (compared exactly) and SIZE, or null.
inline const ElementType* element_type(char type, std::int32_t size) noexcept {
    for (const ElementType& entry : element_types) {
        if (entry.type == type && entry.size == size) return &entry;
    }
    return nullptr;
}

}  // namespace vantrel
