// Feeds arbitrary bytes through the engine exactly as a load does: header
// parse, layout checks, the reader that DATA names, into a point buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>

#include "pcd/load_driver.h"

namespace {

// What result assembly relies on: every field that gets an entry lies inside
// its record, and the buffer holds points x point_step bytes.
void check_invariants(const vantrel::PcdLoad& load) {
    const vantrel::PcdHeader& header = load.header;
    const std::int64_t step = header.point_step;
    if (step < 0) std::abort();
    if (static_cast<std::uint64_t>(header.points > 0 ? header.points : 0) * static_cast<std::uint64_t>(step) !=
        load.buffer.size()) {
        std::abort();
    }
    for (const vantrel::PcdField& field : header.fields) {
        if (!vantrel::has_field_entry(field)) continue;
        if (field.offset < 0 || field.offset + std::int64_t{field.size} * field.count > step) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::istringstream in(bytes);
    try {
        const vantrel::PcdLoad load = vantrel::load_pcd_stream(in);
        check_invariants(load);
        // Ascii text read in tiny chunks must give the very same records.
        if (load.header.data_type == "ascii") {
            std::istringstream again(bytes);
            const vantrel::PcdLoad chunked = vantrel::load_pcd_stream(again, 1 + size % 23);
            // Claims can be huge and lazily mapped: compare where short texts write.
            const std::size_t span =
                load.buffer.size() < (std::size_t{4} << 20) ? load.buffer.size() : std::size_t{4} << 20;
            if (std::memcmp(chunked.buffer.data(), load.buffer.data(), span) != 0) std::abort();
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
