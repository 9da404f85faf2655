// Bytes from a file (field names, DATA values, data) shown in a message: one
// rule, so that every message reads alike and stays one printable line.
#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// Printable characters as they are (ASCII, and UTF-8 from U+00A1 up), every
// other byte as \xNN: control bytes, DEL, C1 controls, the no-break space and
// bytes that are not UTF-8. Allocates; throws only std::bad_alloc.
std::string readable(std::string_view bytes);

// readable(), with backslashes and single quotes escaped, between single
// quotes, as Python shows a string. Call it as vantrel::quoted: on a
// std::string, argument-dependent lookup would find std::quoted as well.
std::string quoted(std::string_view bytes);

}  // namespace vantrel
