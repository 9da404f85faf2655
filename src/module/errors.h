// The module's exceptions and warnings: open failures that are both the
// matching OSError and a RuntimeError, DataWarning for a data section that
// falls short, and the translation of the engine's exceptions.
#pragma once

#include <exception>
#include <optional>
#include <string>

#include <pybind11/pybind11.h>

#include "pcd/data_report.h"
#include "pcd/file_input.h"
#include "pcd/pcd_header.h"

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

// Sets FieldNotFoundError (a KeyError, as it always was, and the ValueError
// the documents name) for a field asked for that a file does not hold, and
// throws error_already_set to carry it.
[[noreturn]] void raise_field_not_found(const std::string& message);

// Sets the OSError of the matching kind (as open() would raise) for a file
// that could not be written, and throws error_already_set to carry it.
[[noreturn]] void raise_write_error(const WriteError& error, pybind11::handle filename);

// Header and message text may hold any byte (file and field names are
// bytes): decoded as UTF-8, other bytes shown as \xNN, never refused.
pybind11::str readable_text(const std::string& bytes);

// Emits a DataWarning with the sentence describe_shortfall made, unless it is
// empty, after the name of the file it is about when there is one ("scans/
// 0001.pcd: PCD data ends early: ..."). Throws error_already_set when the
// warning is turned into an error.
void warn_data(const std::string& shortfall, const std::optional<std::string>& name = std::nullopt);

// What a read knows beside its failure: the file as the caller named it (a
// path, or a file object's name), and the header once it is read.
struct ReadContext {
    std::optional<std::string> name;
    std::optional<PcdHeader> header;
    // load_pcd's messages are fixed: what a failure adds goes to its notes only.
    bool fixed_messages = false;
};

// The name of a source for messages: a path as text (os.fsdecode), a file
// object's `name` when it has a str, bytes or os.PathLike one, else nothing.
std::optional<std::string> source_name(pybind11::handle source);

// Raises what `failure` maps to in Python (as the module's translator and
// pybind11's would), with notes on the exception: "while reading 'NAME'";
// when the header had no DATA line, that the input does not look like a PCD
// file (and, for gzip's first bytes, how to read it); for a compressed block
// cut short, its figures.
[[noreturn]] void raise_read_failure(std::exception_ptr failure, const ReadContext& context);

// Runs `body`; what it throws leaves as raise_read_failure makes it.
template <typename Body>
decltype(auto) reading(const ReadContext& context, Body&& body) {
    try {
        return body();
    } catch (...) {
        raise_read_failure(std::current_exception(), context);
    }
}

}  // namespace vantrel
