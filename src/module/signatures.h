// Signatures that inspect.signature (and so help(), IDEs and stubtest) can
// read from the native functions and methods: CPython finds them at the head
// of a builtin's docstring, "name(args)\n--\n\n", which pybind11 does not
// write. The stubs hold their types; a test checks the two agree.
#pragma once

#include <pybind11/pybind11.h>

namespace vantrel {

// Puts a text signature on each public function and method of the module
// but load_pcd, whose docstring stays as it has always been. Call once the
// module's functions and classes are defined.
void add_text_signatures(pybind11::module_& m);

}  // namespace vantrel
