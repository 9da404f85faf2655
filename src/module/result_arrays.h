// Turns a filled load into NumPy views over its one point buffer, which an
// owner capsule keeps alive for as long as any view lives. Every function
// here must be called with the GIL held.
#pragma once

#include <cstdint>
#include <utility>

#include <pybind11/numpy.h>
#include <pybind11/pytypes.h>

#include "pcd/pcd_reader.h"

namespace vantrel {

// A load's records in Python's hands: the capsule that frees them when its
// last view goes, and where they start.
struct OwnedRecords {
    pybind11::object owner;  // the capsule of a decoded buffer, or an array of records taken from one
    const std::uint8_t* data = nullptr;
};

// Moves the buffer into a new owner capsule. Throws error_already_set when
// the capsule cannot be made; the buffer is released then.
OwnedRecords hand_over(PointBuffer&& buffer);

// (N, 3) over the coordinates (positions in header.fields, all found): a
// view when they are consecutive F fields of SIZE 4 or 8, otherwise a new
// float32 array of their first elements when each is F 4 or an integer of 1
// or 2 bytes, and float64 otherwise. Throws std::runtime_error("Unsupported
// PCD type/size") for coordinates outside the dtype table or their record.
pybind11::array make_points(const PcdHeader& header, const Coordinates& coordinates, const OwnedRecords& records);

// Every field with at least one element per point (the coordinates only when
// `coordinates`), keyed by its name in FIELDS order, a later duplicate
// replacing the earlier array in place: a view of shape (N,), or (N, COUNT).
// Throws std::runtime_error("Unsupported PCD type/size") for a TYPE and SIZE
// outside the dtype table, error_already_set for a name that is not UTF-8.
pybind11::dict make_fields(const PcdHeader& header, const OwnedRecords& records, bool coordinates);

// A structured view of shape (N,) over the whole buffer: itemsize the point
// step, one member per field at its offset, a (COUNT,) subarray for COUNT
// above 1. A name that repeats keeps its last field, and a field without
// elements or overlapping one already placed is left out. Throws as
// make_fields does, and error_already_set when NumPy refuses the dtype.
pybind11::array make_records(const PcdHeader& header, const OwnedRecords& records);

// The dict key of a field: its name up to a NUL byte, decoded as UTF-8.
// Throws error_already_set (UnicodeDecodeError) for other bytes.
pybind11::str field_key(const PcdField& field);

// load_pcd's (points, fields): takes ownership of load.buffer, and releases it
// on every failure. Throws as make_points and make_fields do.
std::pair<pybind11::array, pybind11::dict> build_result(PcdLoad&& load);

}  // namespace vantrel
