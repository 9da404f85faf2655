#include "pcd/text.h"

#include <cstdint>

namespace vantrel {
namespace {

// The length of the printable UTF-8 character at p, or 0.
std::size_t printable_length(const unsigned char* p, std::size_t left) noexcept {
    if (p[0] >= 0x20 && p[0] < 0x7F) return 1;
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        length = 2, code = p[0] & 0x1Fu;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        length = 3, code = p[0] & 0x0Fu;
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        length = 4, code = p[0] & 0x07u;
    } else {
        return 0;
    }
    if (left < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        code = code << 6 | (p[i] & 0x3Fu);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return code >= 0xA1 ? length : 0;
}

std::string escaped(std::string_view bytes, bool quotes) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t left = bytes.size();
    while (left > 0) {
        if (quotes && (*p == '\\' || *p == '\'')) out += '\\';
        const std::size_t n = printable_length(p, left);
        if (n > 0) {
            out.append(reinterpret_cast<const char*>(p), n);
        } else {
            out += "\\x";
            out += hex[*p >> 4];
            out += hex[*p & 15];
        }
        const std::size_t step = n > 0 ? n : 1;
        p += step;
        left -= step;
    }
    return out;
}

}  // namespace

std::string readable(std::string_view bytes) {
    return escaped(bytes, false);
}

std::string quoted(std::string_view bytes) {
    return "'" + escaped(bytes, true) + "'";
}

}  // namespace vantrel
