// Feeds arbitrary bytes through the engine exactly as a read does: header
// parse, layout checks, the reader that DATA names, into a point buffer, the
// report of what the data section held; then writes the load back in every
// encoding and reads it again. The input's last bytes are also a program of
// calls on one reader and one writer in pieces, as users make them.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <lzf.h>

#include "fuzz/fuzz_load.h"
#include "pcd/ascii_writer.h"
#include "pcd/bulk_memory.h"
#include "pcd/lzf_stream.h"
#include "pcd/memory_stream.h"
#include "pcd/pcd_reader.h"
#include "pcd/pcd_writer.h"
#include "pcd/thread_pool.h"

namespace {

// Runs `body` with every piece of work shared on 4 threads however small, or
// (for 1) none shared, then puts the pool back as it was. The workers stay:
// starting threads for every input would cost more than the input.
template <typename Body>
auto with_threads(int threads, Body&& body) {
    vantrel::ThreadPool& pool = vantrel::ThreadPool::shared();
    const int threads_before = pool.threads();
    const std::int64_t min_before = pool.min_bytes();
    pool.set_threads(4);
    pool.set_min_bytes(threads > 1 ? 0 : INT64_MAX);
    struct Restore {
        vantrel::ThreadPool& pool;
        int threads;
        std::int64_t min_bytes;
        ~Restore() {
            pool.set_threads(threads);
            pool.set_min_bytes(min_bytes);
        }
    } restore{pool, threads_before, min_before};
    return body();
}

// The harness's own loops compare every value they check: kept out of the
// coverage feedback, which is for the engine's branches, and which they
// would otherwise slow down many times over.
#if defined(__clang__)
#define HARNESS __attribute__((no_sanitize("coverage")))
#else
#define HARNESS
#endif

// FNV-1a over whatever a step gives, or nothing at all while fuzzing.
class Digest {
public:
    explicit Digest(bool on) : on_(on) {}

    void add(const void* data, std::size_t size) {
        if (!on_) return;
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) hash_ = (hash_ ^ p[i]) * 0x100000001b3ull;
    }
    template <typename T>
    void add(const T& value) {
        add(&value, sizeof value);
    }
    void add(const std::string& text) {
        add(text.size());
        add(text.data(), text.size());
    }
    // Ends one step: its name, what it came to, and the hash of what it gave.
    void step(const char* name, const std::string& outcome) {
        if (!on_) return;
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash_));
        line_ += std::string(line_.empty() ? "" : " ") + name + "=" + outcome + ":" + hex;
        hash_ = 0xcbf29ce484222325ull;
    }
    std::string line() const { return line_; }

private:
    bool on_;
    std::uint64_t hash_ = 0xcbf29ce484222325ull;
    std::string line_;
};

HARNESS void add_header(Digest& digest, const vantrel::PcdHeader& header) {
    for (const vantrel::PcdField& field : header.fields) {
        digest.add(field.name);
        digest.add(field.type);
        digest.add(field.size);
        digest.add(field.count);
        digest.add(field.offset);
    }
    digest.add(header.width);
    digest.add(header.height);
    digest.add(header.points);
    digest.add(header.data_type);
    digest.add(header.point_step);
    digest.add(header.version);
    digest.add(header.viewpoint);
    digest.add(header.data_offset);
    digest.add(header.header_lines);
    digest.add(header.data_line);
    digest.add(header.opening);
}

// Claims can be huge and lazily mapped: the records are hashed up to 4 MiB.
HARNESS void add_load(Digest& digest, const vantrel::PcdLoad& load) {
    add_header(digest, load.header);
    const vantrel::DataReport& data = load.data;
    digest.add(data.points_complete);
    digest.add(data.data_end);
    digest.add(data.bad_value.offset);
    digest.add(data.bad_value.line);
    digest.add(data.bad_value.stuck);
    digest.add(data.bad_value.excerpt);
    digest.add(data.bad_value.point);
    digest.add(data.bad_value.field);
    digest.add(data.bad_value.element);
    digest.add(load.buffer.data(), std::min(load.buffer.size(), std::size_t{4} << 20));
}

// What an exception says, for the digest: its kind and its message's hash.
std::string failure(const std::exception& e) {
    const char* kind = dynamic_cast<const std::length_error*>(&e)    ? "length_error"
                       : dynamic_cast<const std::bad_alloc*>(&e)     ? "bad_alloc"
                       : dynamic_cast<const std::runtime_error*>(&e) ? "runtime_error"
                                                                     : "exception";
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const char* p = e.what(); *p != '\0'; ++p) hash = (hash ^ static_cast<unsigned char>(*p)) * 0x100000001b3ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return std::string(kind) + "/" + hex;
}

// What result assembly relies on: every field that gets an entry lies inside
// its record, and the buffer holds points x point_step bytes.
HARNESS void check_invariants(const vantrel::PcdLoad& load, std::size_t size) {
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
    if (data.bad_value.offset >= 0 && (data.bad_value.offset < header.data_offset || data.bad_value.offset >= end ||
                                       data.bad_value.line <= header.header_lines)) {
        std::abort();
    }
    if (data.complete(header) != vantrel::describe_shortfall(header, data).empty()) std::abort();
}

class MemorySink : public vantrel::ByteSink {
public:
    void write(const char* data, std::size_t size) override { bytes.append(data, size); }
    std::string bytes;
};

HARNESS void run_writer_program(const vantrel::PcdHeader& header, const std::vector<vantrel::FieldSource>& sources,
                                const std::uint8_t* data, std::size_t size, const std::string& whole);

HARNESS bool same_value(const vantrel::PcdField& field, const std::uint8_t* a, const std::uint8_t* b, bool text) {
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
HARNESS void check_round_trip(const vantrel::PcdLoad& load, Digest& digest, const std::uint8_t* program,
                              std::size_t program_size) {
    const vantrel::PcdHeader& loaded = load.header;
    if (loaded.points < 0 || load.buffer.size() > (std::size_t{1} << 20)) return;
    std::vector<vantrel::WriteField> fields;
    std::vector<vantrel::FieldSource> sources;
    std::set<std::string> names;
    for (const vantrel::PcdField& field : loaded.fields) {
        if (field.count < 1 || field.name == "_" || !vantrel::is_element_type(field.type, field.size) ||
            !vantrel::is_writable_field_name(field.name) || !names.insert(field.name).second) {
            continue;
        }
        const vantrel::FieldSource source{load.buffer.data() + field.offset, loaded.point_step, field.size};
        fields.push_back({field.name, field.type, field.size, field.count, loaded.points, source, false});
        sources.push_back(source);
    }
    if (fields.empty()) return;
    using vantrel::Encoding;
    for (const Encoding encoding : {Encoding::ascii, Encoding::binary, Encoding::binary_compressed}) {
        vantrel::WriteOptions write_options;
        write_options.data = vantrel::encoding_name(encoding);
        const vantrel::PcdHeader header =
            vantrel::plan_pcd_header(fields, vantrel::check_write_fields(fields), write_options);
        MemorySink sink;
        with_threads(1, [&] { vantrel::write_pcd(header, sources, sink); });
        // The bytes written never depend on the number of threads.
        MemorySink shared;
        with_threads(4, [&] { vantrel::write_pcd(header, sources, shared); });
        if (shared.bytes != sink.bytes) std::abort();
        const bool text = header.encoding == vantrel::Encoding::ascii;
        std::vector<std::int64_t> changed(header.fields.size(), 0);  // values whose bits did not come back
        with_threads(1, [&] { run_writer_program(header, sources, program, program_size, sink.bytes); });
        vantrel::MemoryStream in(sink.bytes.data(), sink.bytes.size());
        vantrel::LoadOptions options;
        options.require_coordinates = false;
        const vantrel::PcdLoad again = vantrel::load_pcd_stream(in, options);
        if (header.encoding != vantrel::Encoding::binary_compressed) digest.add(sink.bytes);
        add_load(digest, again);
        digest.step(vantrel::encoding_name(encoding), "ok");
        if (!again.data.complete(again.header) || again.header.fields.size() != header.fields.size()) std::abort();
        for (std::size_t f = 0; f < header.fields.size(); ++f) {
            const vantrel::PcdField& field = again.header.fields[f];
            for (std::int64_t i = 0; i < loaded.points; ++i) {
                for (std::int32_t k = 0; k < field.count; ++k) {
                    const std::uint8_t* a = sources[f].data + i * loaded.point_step + k * field.size;
                    const std::uint8_t* b =
                        again.buffer.data() + i * again.header.point_step + field.offset + k * field.size;
                    if (!same_value(field, a, b, text)) std::abort();
                    changed[f] += std::memcmp(a, b, static_cast<std::size_t>(field.size)) != 0;
                }
            }
        }
        // What is counted before an ascii write, to warn of it, is exactly what the text loses.
        if (text && vantrel::lossy_in_ascii(header, sources, loaded.points) != changed) std::abort();
    }
}

// A stream over memory that cannot seek, as a pipe.
class ForwardOnly : public std::streambuf {
public:
    ForwardOnly(const char* data, std::size_t size, std::size_t piece)
        : data_(data), end_(data + size), piece_(piece) {}

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        if (data_ == end_) return traits_type::eof();
        const std::size_t n = std::min<std::size_t>(piece_, static_cast<std::size_t>(end_ - data_));
        char* first = const_cast<char*>(data_);
        setg(first, first, first + n);
        data_ += n;
        return traits_type::to_int_type(*gptr());
    }

private:
    const char* data_;
    const char* end_;
    std::size_t piece_;
};

// The input as an LZF payload, decoded by liblzf and by the stream decoder in
// pieces: both must agree on success, length and bytes.
HARNESS void check_lzf_stream(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    const std::size_t capacity = std::min<std::size_t>(size * (1 + data[0] % 9) + data[size - 1], std::size_t{1} << 16);
    std::vector<std::uint8_t> expected(capacity + 1);
    const unsigned int want =
        lzf_decompress(data, static_cast<unsigned int>(size), expected.data(), static_cast<unsigned int>(capacity));
    std::vector<std::uint8_t> got;
    std::size_t at = 0;
    const std::size_t piece = 1 + data[size / 2] % 97;
    const vantrel::LzfOutcome outcome = vantrel::decode_lzf_stream(
        size, capacity, UINT64_MAX,
        [&](std::uint8_t* dst, std::size_t n) {
            n = std::min({n, piece, size - at});
            std::memcpy(dst, data + at, n);
            at += n;
            return n;
        },
        [&](const std::uint8_t* p, std::size_t n) { got.insert(got.end(), p, p + n); });
    const std::uint64_t decoded = outcome.ok ? outcome.decoded : 0;
    if (decoded != want) std::abort();
    if (want > 0 && (got.size() != want || std::memcmp(got.data(), expected.data(), want) != 0)) std::abort();
}

// The same load on four threads, every piece of work shared: the same
// records and report, or (when the load on one failed) the same failure.
HARNESS void check_threads(const char* bytes, std::size_t size, const vantrel::PcdLoad* one,
                           const vantrel::LoadOptions& options, const std::string& failed = "") {
    vantrel::MemoryStream in(bytes, size);
    std::string outcome = "ok";
    vantrel::PcdLoad shared;
    try {
        shared = with_threads(4, [&] { return vantrel::load_pcd_stream(in, options); });
    } catch (const std::bad_alloc&) {
        return;  // memory, not the data, decides this one
    } catch (const std::exception& e) {
        outcome = failure(e);
    }
    if (one == nullptr) {
        if (outcome != failed) std::abort();
        return;
    }
    if (outcome != "ok") std::abort();
    const vantrel::PcdLoad& load = *one;
    // Claims can be huge and lazily mapped: compared where short texts write.
    const std::size_t span = std::min(load.buffer.size(), std::size_t{1} << 20);
    if (shared.buffer.size() != load.buffer.size() ||
        std::memcmp(shared.buffer.data(), load.buffer.data(), span) != 0) {
        std::abort();
    }
    const vantrel::DataReport& a = load.data;
    const vantrel::DataReport& b = shared.data;
    if (a.points_complete != b.points_complete || a.data_end != b.data_end ||
        a.bad_value.offset != b.bad_value.offset || a.bad_value.line != b.bad_value.line ||
        a.bad_value.stuck != b.bad_value.stuck || a.bad_value.excerpt != b.bad_value.excerpt ||
        a.bad_value.point != b.bad_value.point || a.bad_value.field != b.bad_value.field ||
        a.bad_value.element != b.bad_value.element) {
        std::abort();
    }
}

// What a whole read gives, read again in chunks of every field and of some:
// the same records, values and report, on a stream that seeks and on one that
// cannot. `selector` picks the chunk size, the fields and a point to seek to.
HARNESS void check_chunks(const char* bytes, std::size_t size, const vantrel::PcdLoad& whole, std::uint64_t selector) {
    const vantrel::PcdHeader& header = whole.header;
    const std::int64_t points = std::max<std::int32_t>(header.points, 0);
    if (whole.buffer.size() > (std::size_t{1} << 20) || points > 100000) return;
    const std::int64_t chunk = 1 + static_cast<std::int64_t>(selector % static_cast<std::uint64_t>(points + 2));
    if (points / chunk > 200) return;
    std::vector<std::size_t> chosen;
    for (std::size_t f = 0; f < header.fields.size() && chosen.size() < 8; ++f) {
        if (!(selector >> (8 + f % 48) & 1)) continue;
        if (vantrel::field_position(header, header.fields[f].name) == static_cast<std::int64_t>(f)) chosen.push_back(f);
    }
    vantrel::LoadOptions options;
    options.require_coordinates = false;
    for (int pass = 0; pass < 2; ++pass) {
        vantrel::MemoryStreamBuf memory(bytes, size);
        ForwardOnly forward(bytes, size, 1 + selector % 61);
        std::istream in(pass == 0 ? static_cast<std::streambuf*>(&memory) : &forward);
        vantrel::PcdReader reader(in, vantrel::parse_pcd_header(in), options);
        const std::vector<std::size_t>* const choices[] = {nullptr, &chosen};
        for (const std::vector<std::size_t>* fields : choices) {
            if (fields == &chosen && (chosen.empty() || pass == 1)) break;
            if (reader.tell() != 0) reader.seek(0);
            for (std::int64_t first = 0; first < points || first == 0; first += chunk) {
                const vantrel::PcdLoad part = reader.read(chunk, fields);
                const vantrel::PcdHeader& got = part.header;
                if (got.points != std::min(chunk, points - first)) std::abort();
                if (fields == nullptr) {  // the file's own records: one run of bytes
                    const auto length = static_cast<std::size_t>(got.points * header.point_step);
                    if (length > 0 &&
                        std::memcmp(part.buffer.data(), whole.buffer.data() + first * header.point_step, length) != 0) {
                        std::abort();
                    }
                    if (points == 0) break;
                    continue;
                }
                for (std::size_t g = 0; g < got.fields.size(); ++g) {
                    const vantrel::PcdField& field = got.fields[g];
                    const vantrel::PcdField& source = fields ? header.fields[(*fields)[g]] : field;
                    if (field.count < 1) continue;
                    const std::size_t width = static_cast<std::size_t>(std::int64_t{field.size} * field.count);
                    for (std::int64_t i = 0; i < got.points; ++i) {
                        const std::uint8_t* a = whole.buffer.data() + (first + i) * header.point_step + source.offset;
                        const std::uint8_t* b = part.buffer.data() + i * got.point_step + field.offset;
                        if (std::memcmp(a, b, width) != 0) std::abort();
                    }
                }
                if (points == 0) break;
            }
            const vantrel::DataReport& a = whole.data;
            const vantrel::DataReport& b = reader.report();
            if (a.points_complete != b.points_complete || a.bad_value.offset != b.bad_value.offset ||
                a.bad_value.line != b.bad_value.line || a.bad_value.stuck != b.bad_value.stuck) {
                if (fields == nullptr) std::abort();  // with chosen fields, compressed planes may stop early
            }
        }
        if (pass == 0 && points > 0) {  // a seek back and forth reads the same
            const std::int64_t target = static_cast<std::int64_t>(selector >> 3) % points;
            reader.seek(target);
            const vantrel::PcdLoad one = reader.read(1, nullptr);
            if (one.header.points == 1 && whole.header.point_step > 0 &&
                std::memcmp(one.buffer.data(), whole.buffer.data() + target * header.point_step,
                            static_cast<std::size_t>(header.point_step)) != 0) {
                std::abort();
            }
        }
    }
}

// The same input loaded again into memory that a released block left full of
// other bytes: the engine keeps the last dense block released (up to 64 MiB)
// for the next request of about its size that need not be zero, so a load must
// read the same whatever its memory held before. The block's size moves with
// the input, between the load's size and half as much again, as a sequence of
// clouds of changing sizes does; loads beyond 16 MiB are left out, for speed.
HARNESS void check_reused_memory(const char* bytes, std::size_t size, const vantrel::PcdLoad& load,
                                 const vantrel::LoadOptions& options) {
    const std::size_t n = load.buffer.size();
    if (n < (std::size_t{4} << 20) || n > (std::size_t{16} << 20)) return;
    {
        vantrel::BulkMemory other(n + size % (n / 2), false);
        std::memset(other.data(), 0xa5, other.size());
    }
    vantrel::MemoryStream again(bytes, size);
    const vantrel::PcdLoad reloaded = with_threads(1, [&] { return vantrel::load_pcd_stream(again, options); });
    if (reloaded.buffer.size() != n || std::memcmp(reloaded.buffer.data(), load.buffer.data(), n) != 0) std::abort();
}

// A short program drawn from the input's last bytes, as a user's calls on one
// reader: read(n, fields), chunks (a few reads of one size), seek (back too,
// where the stream can), each result compared with the whole read's slice.
// Windows, planes and positions carried from call to call are what it tests.
class Program {
public:
    Program(const std::uint8_t* data, std::size_t size)
        : at_(data + size - std::min<std::size_t>(size, 48)), end_(data + size) {}
    bool done() const noexcept { return at_ == end_; }
    std::uint32_t next() noexcept { return at_ == end_ ? 0 : *at_++; }

private:
    const std::uint8_t* at_;
    const std::uint8_t* end_;
};

// The chosen fields that a byte picks: each field whose bit is set and that a
// name reaches; none (the file's records) when no bit picks one.
std::vector<std::size_t> pick_fields(const vantrel::PcdHeader& header, std::uint32_t bits) {
    std::vector<std::size_t> chosen;
    for (std::size_t f = 0; f < header.fields.size() && f < 8; ++f) {
        if ((bits >> f & 1) && vantrel::field_position(header, header.fields[f].name) == static_cast<std::int64_t>(f))
            chosen.push_back(f);
    }
    return chosen;
}

// Each field of a part is the whole read's, from point `first` on.
HARNESS void check_part(const vantrel::PcdLoad& whole, const vantrel::PcdLoad& part, std::int64_t first,
                        const std::vector<std::size_t>* fields) {
    const vantrel::PcdHeader& header = whole.header;
    const vantrel::PcdHeader& got = part.header;
    for (std::size_t g = 0; g < got.fields.size(); ++g) {
        const vantrel::PcdField& field = got.fields[g];
        const vantrel::PcdField& source = fields ? header.fields[(*fields)[g]] : field;
        if (field.count < 1) continue;
        const auto width = static_cast<std::size_t>(std::int64_t{field.size} * field.count);
        for (std::int64_t i = 0; i < got.points; ++i) {
            const std::uint8_t* a = whole.buffer.data() + (first + i) * header.point_step + source.offset;
            const std::uint8_t* b = part.buffer.data() + i * got.point_step + field.offset;
            if (std::memcmp(a, b, width) != 0) std::abort();
        }
    }
}

HARNESS void run_reader_program(const char* bytes, std::size_t size, const vantrel::PcdLoad& whole,
                                const std::uint8_t* data) {
    const vantrel::PcdHeader& header = whole.header;
    const std::int64_t points = std::max<std::int32_t>(header.points, 0);
    if (whole.buffer.size() > (std::size_t{1} << 20) || points > 100000) return;
    vantrel::LoadOptions options;
    options.require_coordinates = false;
    Program program(data, size);
    const bool seekable = program.next() % 4 != 0;
    vantrel::MemoryStreamBuf memory(bytes, size);
    ForwardOnly forward(bytes, size, 1 + program.next() % 61);
    std::istream in(seekable ? static_cast<std::streambuf*>(&memory) : &forward);
    vantrel::PcdReader reader(in, vantrel::parse_pcd_header(in), options);
    bool fixed_planes = false;  // a stream's compressed planes, once chosen, cannot be decoded again
    std::vector<std::size_t> planes;
    std::int64_t position = 0;
    for (int steps = 0; steps < 16 && !program.done(); ++steps) {
        const std::uint32_t op = program.next();
        const std::uint32_t arg = program.next() | program.next() << 8;
        if (op % 4 == 2) {  // seek
            const std::int64_t target = points == 0 ? 0 : arg % (points + 1);
            if (target < position && !seekable) continue;
            reader.seek(target);
            position = target;
            if (reader.tell() != position) std::abort();
            continue;
        }
        std::vector<std::size_t> chosen = pick_fields(header, op >> 2);
        if (!seekable && header.encoding == vantrel::Encoding::binary_compressed) {
            if (fixed_planes) chosen = planes;
            fixed_planes = true;
            planes = chosen;
        }
        const std::vector<std::size_t>* fields = chosen.empty() ? nullptr : &chosen;
        const std::int64_t n = arg % (op % 4 == 1 ? 64 : 4096) + (op % 4 == 1);
        for (int reads = op % 4 == 1 ? 3 : 1; reads > 0; --reads) {
            const vantrel::PcdLoad part = reader.read(n, fields);
            if (part.header.points != std::min(n, points - position)) std::abort();
            check_part(whole, part, position, fields);
            position += part.header.points;
            if (reader.tell() != position) std::abort();
        }
    }
}

// The load written again a piece at a time, of sizes drawn from the input:
// byte for byte what one write of the whole gives, whether the total is
// known up front or (for binary_compressed, which needs no seeking) not.
HARNESS void run_writer_program(const vantrel::PcdHeader& header, const std::vector<vantrel::FieldSource>& sources,
                                const std::uint8_t* data, std::size_t size, const std::string& whole) {
    Program program(data, size);
    for (const bool known : {true, false}) {
        if (!known && header.encoding != vantrel::Encoding::binary_compressed) break;
        MemorySink sink;
        vantrel::PcdWriter writer(sink, header, known);
        for (std::int64_t first = 0; first < header.points;) {
            const std::int64_t n = std::min<std::int64_t>(header.points - first, program.next() % 97);
            std::vector<vantrel::FieldSource> piece = sources;
            for (vantrel::FieldSource& source : piece) source.data += first * source.point_stride;
            writer.write(piece, n);
            first += n;
            if (program.done() && first < header.points) {  // the rest in one piece
                for (vantrel::FieldSource& source : piece) source.data += n * source.point_stride;
                writer.write(piece, header.points - first);
                first = header.points;
            }
        }
        writer.finish(header);
        if (sink.bytes != whole) std::abort();
    }
}

}  // namespace

std::string fuzz_one(const std::uint8_t* data, std::size_t size, bool digest_on) {
    const char* const bytes = reinterpret_cast<const char*>(data);
    Digest digest(digest_on);
    check_lzf_stream(data, size);
    digest.add(check_outline(data, size));
    digest.step("outline", "ok");
    digest.add(check_tiles(data, size));
    digest.step("tiles", "ok");
    try {
        // The header alone, as read_pcd_header reads it.
        vantrel::MemoryStream head(bytes, size);
        const vantrel::PcdHeader header = vantrel::parse_pcd_header(head);
        for (const double v : header.viewpoint) static_cast<void>(std::isfinite(v));
        add_header(digest, header);
        digest.step("header", "ok");
    } catch (const std::runtime_error& e) {
        digest.step("header", failure(e));
    } catch (const std::bad_alloc& e) {
        digest.step("header", failure(e));
    }
    try {
        vantrel::MemoryStream in(bytes, size);
        vantrel::LoadOptions options;
        options.require_coordinates = false;  // every file read_pcd takes
        const vantrel::PcdLoad load = with_threads(1, [&] { return vantrel::load_pcd_stream(in, options); });
        check_invariants(load, size);
        check_reused_memory(bytes, size, load, options);
        check_threads(bytes, size, &load, options);
        add_load(digest, load);
        digest.add(vantrel::describe_shortfall(load.header, load.data));
        digest.step("load", "ok");
        check_round_trip(load, digest, data, size);
        std::uint64_t selector = 0x9e3779b97f4a7c15ull;
        for (std::size_t i = 0; i < size; i += 1 + size / 64) selector = (selector ^ data[i]) * 0x100000001b3ull;
        check_chunks(bytes, size, load, selector);
        run_reader_program(bytes, size, load, data);
        // Ascii text read in tiny chunks must give the very same records and
        // report, on the pool too: each chunk read while workers parse the last.
        if (load.header.data_type == "ascii") {
            vantrel::MemoryStream again(bytes, size);
            options.ascii_chunk = 1 + size % 23;
            const vantrel::PcdLoad chunked =
                with_threads(size % 2 == 0 ? 4 : 1, [&] { return vantrel::load_pcd_stream(again, options); });
            // Claims can be huge and lazily mapped: compare where short texts write.
            const std::size_t span =
                load.buffer.size() < (std::size_t{4} << 20) ? load.buffer.size() : std::size_t{4} << 20;
            if (std::memcmp(chunked.buffer.data(), load.buffer.data(), span) != 0) std::abort();
            const vantrel::DataReport& a = load.data;
            const vantrel::DataReport& b = chunked.data;
            if (a.points_complete != b.points_complete || a.data_end != b.data_end ||
                a.bad_value.offset != b.bad_value.offset || a.bad_value.line != b.bad_value.line ||
                a.bad_value.stuck != b.bad_value.stuck) {
                std::abort();
            }
        }
        // Read both ends of the buffer, as the views can.
        const std::size_t n = load.buffer.size();
        const std::size_t ends = n < 512 ? n : 512;
        volatile std::uint8_t sink = 0;
        for (std::size_t i = 0; i < ends; ++i) sink = sink ^ load.buffer.data()[i] ^ load.buffer.data()[n - 1 - i];
    } catch (const std::runtime_error& e) {
        digest.step("load", failure(e));
        check_threads(bytes, size, nullptr, {false}, failure(e));
    } catch (const std::length_error& e) {
        digest.step("load", failure(e));
        check_threads(bytes, size, nullptr, {false}, failure(e));
    } catch (const std::bad_alloc& e) {
        digest.step("load", failure(e));
    }
    return digest.line();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_one(data, size, false);
    return 0;
}
