// The token scanner of ascii text: the kernels that look at every byte of a
// data section before or beside the parse. A value is a run of bytes above
// 32; every byte from 0 to 32 separates values (line ends included). No
// function allocates or throws; each reads only [p, end).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantrel {

// Line feeds in [p, p + n), counted in blocks whose byte-wide sums the
// compiler turns into vector adds.
inline std::int64_t count_line_feeds(const char* p, std::size_t n) noexcept {
    std::int64_t total = 0;
    for (; n >= 255; p += 255, n -= 255) {
        std::uint8_t block = 0;
        for (int i = 0; i < 255; ++i) block = static_cast<std::uint8_t>(block + (p[i] == '\n'));
        total += block;
    }
    for (std::size_t i = 0; i < n; ++i) total += p[i] == '\n';
    return total;
}

// Values that start in [p, end), one byte at a time: the reference for
// count_tokens, and its tail. `in_value` says the byte before p is part of a
// value.
inline std::int64_t count_tokens_scalar(const char* p, const char* end, bool in_value = false) noexcept {
    std::int64_t tokens = 0;
    for (; p != end; ++p) {
        const bool above = static_cast<unsigned char>(*p) > 32;
        tokens += above && !in_value;
        in_value = above;
    }
    return tokens;
}

// Values in [p, end), which starts just after a separator (or at the text's
// start): each run of bytes above 32 is one. Many bytes at a time (16 in a
// vector register, else 8 in a 64-bit word): this pass runs over all the text
// before any is parsed, so it must cost little beside the parse.
inline std::int64_t count_tokens(const char* p, const char* end) noexcept {
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr std::uint64_t high = 0x8080808080808080ull;
    constexpr std::uint64_t to_33 = 0x5F5F5F5F5F5F5F5Full;  // 0x80 - 33 in every byte
    constexpr std::uint64_t pairs = 0x00FF00FF00FF00FFull;
    std::int64_t tokens = 0;
    std::uint64_t carry = 0;  // bit 7: the byte before is part of a value
#if defined(__SSE2__)
    // Sixteen bytes at a time where every x86-64 can.
    const __m128i floor = _mm_set1_epi8(33);
    __m128i previous = _mm_setzero_si128();  // its last byte: 0xFF when part of a value
    while (end - p >= 16) {
        __m128i lanes = _mm_setzero_si128();  // per byte, the values that start there: at most 255
        for (int i = 0; i < 255 && end - p >= 16; ++i, p += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i value = _mm_cmpeq_epi8(_mm_max_epu8(bytes, floor), bytes);  // 0xFF: above 32
            const __m128i before = _mm_or_si128(_mm_slli_si128(value, 1), _mm_srli_si128(previous, 15));
            lanes = _mm_sub_epi8(lanes, _mm_andnot_si128(before, value));
            previous = value;
        }
        const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
        tokens += _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
    }
    carry = static_cast<std::uint64_t>(_mm_movemask_epi8(previous) & 0x8000) >> 8;
#endif
    while (end - p >= 8) {
        std::uint64_t lanes = 0;  // per byte, the values that start there: at most 255
        for (int i = 0; i < 255 && end - p >= 8; ++i, p += 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            word = __builtin_bswap64(word);  // byte k of the text in bits 8k to 8k + 7
#endif
            // Bit 7 of each byte: above 32. No carry crosses bytes: (x & 0x7F) + 0x5F < 0x100.
            const std::uint64_t value = (((word & low7) + to_33) | word) & high;
            const std::uint64_t starts = value & ~((value << 8) | carry);
            carry = value >> 56;
            lanes += starts >> 7;
        }
        lanes = (lanes & pairs) + ((lanes >> 8) & pairs);  // four 16-bit sums of at most 510
        tokens += static_cast<std::int64_t>((lanes * 0x0001000100010001ull) >> 48);
    }
    return tokens + count_tokens_scalar(p, end, carry != 0);
}

// The first byte of the n-th value (from 0) in [p, end), or its end's byte
// when `value_end`.
inline const char* find_token(const char* p, const char* end, std::int64_t n, bool value_end) noexcept {
    for (;;) {
        while (p != end && static_cast<unsigned char>(*p) <= 32) ++p;
        if (n == 0 && !value_end) return p;
        while (p != end && static_cast<unsigned char>(*p) > 32) ++p;
        if (n == 0) return p;
        --n;
    }
}

// Just after the last separator in [first, last), or null when there is none.
inline const char* after_last_separator(const char* first, const char* last) noexcept {
    while (last != first) {
        if (static_cast<unsigned char>(*--last) <= 32) return last + 1;
    }
    return nullptr;
}

}  // namespace vantrel
