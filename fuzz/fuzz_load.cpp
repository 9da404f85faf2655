// Feeds arbitrary bytes through the engine exactly as a read does: header
// parse, layout checks, the reader that DATA names, into a point buffer,
// then the report of what the data section held.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "pcd/load_driver.h"
#include "pcd/memory_stream.h"
#include "pcd/pcd_writer.h"

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

class MemorySink : public vantrel::ByteSink {
public:
    void write(const char* data, std::size_t size) override { bytes.append(data, size); }
    std::string bytes;
};

bool same_value(const vantrel::PcdField& field, const std::uint8_t* a, const std::uint8_t* b, bool text) {
    if (std::memcmp(a, b, static_cast<std::size_t>(field.size)) == 0) return true;
    if (!text || field.type != 'F') return false;
    // Text keeps a NaN's sign, not its payload.
    double x = 0, y = 0;
    if (field.size == 4) {
        float f = 0, g = 0;
        std::memcpy(&f, a, 4);
        std::memcpy(&g, b, 4);
        x = f, y = g;
    } else {
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
    }
    return std::isnan(x) && std::isnan(y) && std::signbit(x) == std::signbit(y);
}

// What the loader read, written back in every encoding, reads back the same:
// every field the writer takes, from the loaded records where they lie.
void check_round_trip(const vantrel::PcdLoad& load) {
    const vantrel::PcdHeader& loaded = load.header;
    if (loaded.points < 0 || load.buffer.size() > (std::size_t{1} << 20)) return;
    vantrel::PcdHeader header;
    std::vector<vantrel::FieldSource> sources;
    std::vector<const vantrel::PcdField*> originals;
    std::set<std::string> names;
    for (const vantrel::PcdField& field : loaded.fields) {
        if (field.count < 1 || field.name == "_" || !vantrel::is_element_type(field.type, field.size) ||
            !vantrel::is_writable_field_name(field.name) || !names.insert(field.name).second) {
            continue;
        }
        header.fields.push_back(vantrel::PcdField{field.name, field.type, field.size, field.count, 0});
        sources.push_back({load.buffer.data() + field.offset, loaded.point_step, field.size});
        originals.push_back(&field);
    }
    if (header.fields.empty()) return;
    header.points = header.width = loaded.points;
    header.height = 1;
    for (const char* data : {vantrel::data_ascii, vantrel::data_binary, vantrel::data_binary_compressed}) {
        header.data_type = data;
        vantrel::prepare_pcd_header(header);
        MemorySink sink;
        vantrel::write_pcd(header, sources, sink);
        vantrel::MemoryStream in(sink.bytes.data(), sink.bytes.size());
        vantrel::LoadOptions options;
        options.require_coordinates = false;
        const vantrel::PcdLoad again = vantrel::load_pcd_stream(in, options);
        if (!again.data.complete(again.header) || again.header.fields.size() != header.fields.size()) std::abort();
        for (std::size_t f = 0; f < header.fields.size(); ++f) {
            const vantrel::PcdField& field = again.header.fields[f];
            for (std::int64_t i = 0; i < loaded.points; ++i) {
                for (std::int32_t k = 0; k < field.count; ++k) {
                    const std::uint8_t* a = sources[f].data + i * loaded.point_step + k * field.size;
                    const std::uint8_t* b =
                        again.buffer.data() + i * again.header.point_step + field.offset + k * field.size;
                    if (!same_value(field, a, b, header.data_type == vantrel::data_ascii)) std::abort();
                }
            }
        }
    }
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
        check_round_trip(load);
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
