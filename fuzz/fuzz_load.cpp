// Feeds arbitrary bytes through the engine exactly as a read does: header
// parse, layout checks, the reader that DATA names, into a point buffer,
// then the report of what the data section held.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "pcd/load_driver.h"
#include "pcd/memory_stream.h"

namespace {

// What result assembly relies on: every field that gets an entry lies inside
// its record, and the buffer holds points x point_step bytes.
void check_invariants(const vantrel::PcdLoad& load, std::size_t size) {
    const vantrel::PcdHeader& header = load.header;
    const std::int64_t step = header.point_step;
    if (step < 0) std::abort();
    if (static_cast<std::uint64_t>(header.points > 0 ? header.points : 0) * static_cast<std::uint64_t>(step) !=
        load.buffer.size()) {
        std::abort();
    }
    for (const vantrel::PcdField& field : header.fields) {
        if (field.count < 1) continue;  // read_pcd hands out the coordinates too
        if (field.offset < 0 || field.offset + std::int64_t{field.size} * field.count > step) std::abort();
    }
    // The report stays inside the input and agrees with itself.
    const auto end = static_cast<std::int64_t>(size);
    const vantrel::DataReport& data = load.data;
    if (header.data_offset > end || header.header_lines > header.data_offset) std::abort();
    if (data.data_end < header.data_offset || data.data_end > end) std::abort();
    if (data.points_complete < 0 || data.points_complete > std::max<std::int64_t>(header.points, 0)) std::abort();
    if (data.bad_value_offset >= 0 && (data.bad_value_offset < header.data_offset || data.bad_value_offset >= end ||
                                       data.bad_value_line <= header.header_lines)) {
        std::abort();
    }
    if (data.complete(header) != vantrel::describe_shortfall(header, data).empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* const bytes = reinterpret_cast<const char*>(data);
    try {
        // The header alone, as read_pcd_header reads it.
        vantrel::MemoryStream head(bytes, size);
        const vantrel::PcdHeader header = vantrel::parse_pcd_header(head);
        for (const double v : header.viewpoint) static_cast<void>(std::isfinite(v));
    } catch (const std::runtime_error&) {
    } catch (const std::bad_alloc&) {
    }
    try {
        vantrel::MemoryStream in(bytes, size);
        vantrel::LoadOptions options;
        options.require_coordinates = false;  // every file read_pcd takes
        const vantrel::PcdLoad load = vantrel::load_pcd_stream(in, options);
        check_invariants(load, size);
        // Ascii text read in tiny chunks must give the very same records and report.
        if (load.header.data_type == "ascii") {
            vantrel::MemoryStream again(bytes, size);
            options.ascii_chunk = 1 + size % 23;
            const vantrel::PcdLoad chunked = vantrel::load_pcd_stream(again, options);
            // Claims can be huge and lazily mapped: compare where short texts write.
            const std::size_t span =
                load.buffer.size() < (std::size_t{4} << 20) ? load.buffer.size() : std::size_t{4} << 20;
            if (std::memcmp(chunked.buffer.data(), load.buffer.data(), span) != 0) std::abort();
            const vantrel::DataReport& a = load.data;
            const vantrel::DataReport& b = chunked.data;
            if (a.points_complete != b.points_complete || a.data_end != b.data_end ||
                a.bad_value_offset != b.bad_value_offset || a.bad_value_line != b.bad_value_line ||
                a.bad_value_stuck != b.bad_value_stuck) {
                std::abort();
            }
        }
        // Read both ends of the buffer, as the views can.
        const std::size_t n = load.buffer.size();
        const std::size_t ends = n < 512 ? n : 512;
        volatile std::uint8_t sink = 0;
        for (std::size_t i = 0; i < ends; ++i) sink = sink ^ load.buffer.data()[i] ^ load.buffer.data()[n - 1 - i];
    } catch (const std::runtime_error&) {
    } catch (const std::length_error&) {
    } catch (const std::bad_alloc&) {
    }
    return 0;
}
