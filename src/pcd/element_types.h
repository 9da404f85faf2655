// The ten element types a PCD field can hold: a TYPE letter and a SIZE, and
// the C++ type of one element. The header, the readers, the writer and the
// NumPy views all take their types from this one table.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

namespace vantrel {

inline constexpr std::int64_t int32_max = std::numeric_limits<std::int32_t>::max();
inline constexpr std::int64_t int32_min = std::numeric_limits<std::int32_t>::min();

// The TYPE letters, compared exactly (upper case only).
inline constexpr char type_float = 'F';
inline constexpr char type_signed = 'I';
inline constexpr char type_unsigned = 'U';

enum class Element : std::uint8_t { f32, f64, i8, i16, i32, i64, u8, u16, u32, u64 };

struct ElementType {
    char type;
    std::int32_t size;
    Element element;
};

inline constexpr ElementType element_types[] = {
    {type_float, 4, Element::f32},    {type_float, 8, Element::f64},    {type_signed, 1, Element::i8},
    {type_signed, 2, Element::i16},   {type_signed, 4, Element::i32},   {type_signed, 8, Element::i64},
    {type_unsigned, 1, Element::u8},  {type_unsigned, 2, Element::u16}, {type_unsigned, 4, Element::u32},
    {type_unsigned, 8, Element::u64},
};

// The entry for a TYPE letter and SIZE, or null. Throws nothing.
constexpr const ElementType* element_type(char type, std::int32_t size) noexcept {
    for (const ElementType& entry : element_types) {
        if (entry.type == type && entry.size == size) return &entry;
    }
    return nullptr;
}

constexpr bool is_element_type(char type, std::int32_t size) noexcept {
    return element_type(type, size) != nullptr;
}

// Calls f(T{}) with the C++ type of the element and returns what it returns.
template <typename F>
constexpr decltype(auto) with_element(Element element, F&& f) {
    switch (element) {
        case Element::f32: return f(float{});
        case Element::f64: return f(double{});
        case Element::i8: return f(std::int8_t{});
        case Element::i16: return f(std::int16_t{});
        case Element::i32: return f(std::int32_t{});
        case Element::i64: return f(std::int64_t{});
        case Element::u8: return f(std::uint8_t{});
        case Element::u16: return f(std::uint16_t{});
        case Element::u32: return f(std::uint32_t{});
        default: return f(std::uint64_t{});
    }
}

// One element at p (any alignment), as a double: exact for every integer of
// up to 53 bits and for both float types.
inline double element_as_double(Element element, const std::uint8_t* p) noexcept {
    return with_element(element, [p](auto zero) {
        decltype(zero) value;
        std::memcpy(&value, p, sizeof value);
        return static_cast<double>(value);
    });
}

}  // namespace vantrel
