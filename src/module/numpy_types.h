// NumPy's type number for each element type of the engine's table.
#pragma once

#include "pcd/element_types.h"

namespace vantrel {

// As NumPy's C API names them (NPY_BYTE ... NPY_DOUBLE); long is 64 bits on
// every target.
constexpr int npy_type(Element element) noexcept {
    switch (element) {
        case Element::i8: return 1;    // NPY_BYTE
        case Element::u8: return 2;    // NPY_UBYTE
        case Element::i16: return 3;   // NPY_SHORT
        case Element::u16: return 4;   // NPY_USHORT
        case Element::i32: return 5;   // NPY_INT
        case Element::u32: return 6;   // NPY_UINT
        case Element::i64: return 7;   // NPY_LONG
        case Element::u64: return 8;   // NPY_ULONG
        case Element::f32: return 11;  // NPY_FLOAT
        default: return 12;            // NPY_DOUBLE
    }
}

// The element type of NumPy values of dtype kind `kind` ('f', 'i', 'u') and
// `itemsize` bytes, or null when PCD has none.
constexpr const ElementType* element_of_numpy(char kind, std::int64_t itemsize) noexcept {
    const char letter = kind == 'f' ? type_float : kind == 'i' ? type_signed : kind == 'u' ? type_unsigned : '\0';
    return itemsize > 8 ? nullptr : element_type(letter, static_cast<std::int32_t>(itemsize));
}

}  // namespace vantrel
