// The module's exceptions and warnings: open failures that are both the
// matching OSError and a RuntimeError, DataWarning for a data section that
// falls short, and the translation of the engine's exceptions.
#pragma once

#include <pybind11/pybind11.h>

#include "pcd/data_report.h"
#include "pcd/file_input.h"

namespace vantrel {

class WriteError;

// Adds DataWarning, PcdOpenError and its FileNotFoundError, IsADirectoryError
// and PermissionError kinds to the module, and registers the translator that
// turns the engine's exceptions into them and into RuntimeError.
void register_errors(pybind11::module_& m);

// Sets the Python exception for a file that cannot be opened, with errno,
// strerror and `filename` (the caller's own argument), and throws
// error_already_set to carry it.
[[noreturn]] void raise_open_error(const OpenError& error, pybind11::handle filename);

// Sets the OSError of the matching kind (as open() would raise) for a file
// that could not be written, and throws error_already_set to carry it.
[[noreturn]] void raise_write_error(const WriteError& error, pybind11::handle filename);

// Header and message text may hold any byte (file and field names are
// bytes): decoded as UTF-8, other bytes shown as \xNN, never refused.
pybind11::str readable_text(const std::string& bytes);

// Emits a DataWarning with the sentence describe_shortfall made, unless it is
// empty. Throws error_already_set when the warning is turned into an error.
void warn_data(const std::string& shortfall);

}  // namespace vantrel
