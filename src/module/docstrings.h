// The docstrings of the compiled module's functions, classes and methods.
#pragma once

namespace vantrel::doc {

extern const char* const chunks;
extern const char* const open_pcd;
extern const char* const read;
extern const char* const read_pcd;
extern const char* const reader;
extern const char* const seek;
extern const char* const read_pcd_header;
extern const char* const set_num_threads;
extern const char* const write_pcd;
extern const char* const open_pcd_writer;
extern const char* const writer;
extern const char* const writer_write;
extern const char* const cloud;
extern const char* const field;
extern const char* const header;
extern const char* const from_records;

}  // namespace vantrel::doc
