#include "pcd/ascii_reader.h"

#include <algorithm>
#include <cstring>

#include "pcd/ascii_values.h"
#include "pcd/byte_ranges.h"
#include "pcd/interrupt.h"
#include "pcd/thread_pool.h"
#include "pcd/token_scan.h"

namespace vantrel {
namespace {

using namespace ascii;

// The text split into blocks of about the same size for the pool, each
// starting after a separator.
std::vector<const char*> split_text(const char* text, const char* limit, int threads) {
    const std::int64_t nominal = std::max<std::int64_t>(64, (limit - text) / (std::int64_t{threads} * 16));
    std::vector<const char*> bounds{text};
    for (const char* p = text + nominal; p < limit; p += nominal) {
        while (p < limit && static_cast<unsigned char>(*p) > 32) ++p;
        if (++p >= limit) break;
        bounds.push_back(p);
    }
    bounds.push_back(limit);
    return bounds;
}

// A walk over a block's values, from value `k` of column `c` of a record.
struct Cursor {
    const std::vector<Column>& columns;
    std::int64_t step;
    const char* p;
    const char* end;
    std::uint8_t* row;
    std::size_t c;
    std::int32_t k;

    // One value; false when it is not one run of bytes its column's parse takes whole.
    bool one() noexcept {
        while (static_cast<unsigned char>(*p) <= 32) ++p;  // the count says a value follows
        const Column& column = columns[c];
        const char* next = take(column, p, end, row, step, k);
        if (next == nullptr) return false;
        p = next;
        if (++k == column.count) {
            k = 0;
            if (++c == columns.size()) {
                c = 0;
                if (row != nullptr) row += step;
            }
        }
        return true;
    }

    // One whole record, column after column, from its start.
    bool record() noexcept {
        for (const Column& column : columns) {
            for (std::int32_t e = 0; e < column.count; ++e) {
                while (static_cast<unsigned char>(*p) <= 32) ++p;
                const char* next = take(column, p, end, row, step, e);
                if (next == nullptr) return false;
                p = next;
            }
        }
        if (row != nullptr) row += step;
        return true;
    }
};

// Values [t, block_end) of a block (`slots` to a record): the part of a
// record it begins or ends in one value at a time, whole records between.
// Returns the index of the first value of the first record holding a value
// that is not one token, or INT64_MAX when there is none.
std::int64_t parse_block(Cursor& at, std::int64_t t, std::int64_t block_end, std::int64_t slots) noexcept {
    for (; t < block_end && (at.c != 0 || at.k != 0); ++t) {
        if (!at.one()) return t - t % slots;
    }
    for (; t + slots <= block_end; t += slots) {
        if (!at.record()) return t;
    }
    for (; t < block_end; ++t) {
        if (!at.one()) return t - t % slots;
    }
    return INT64_MAX;
}

}  // namespace

AsciiSection::AsciiSection(std::istream& in, const PcdHeader& header, std::size_t chunk_size)
    : header_(header),
      input_(in, chunk_size, header.points >= 1 && std::any_of(header.fields.begin(), header.fields.end(), in_text)),
      nothing_to_read_(header.points < 1 || std::none_of(header.fields.begin(), header.fields.end(), in_text)) {
    for (const PcdField& field : header.fields) {
        if (in_text(field)) kinds_ = static_cast<std::uint8_t>(kinds_ | 1u << static_cast<unsigned>(parse_of(field)));
    }
    restart();
}

AsciiSection::~AsciiSection() = default;

void AsciiSection::restart() {
    position_ = 0;
    input_.restart();
    done_ = nothing_to_read_;
    complete_ = -1;
    bad_ = BadValue{};
    report_ = DataReport{};
    report_.points_complete = std::max<std::int32_t>(header_.points, 0);
    report_.data_end = header_.data_offset;
}

// Records are parsed from `text` up to `limit` (`at` bytes into the section;
// `at_end` when nothing follows `limit`), until record `stop`. Every chunk
// ends just after a separator (or at the end of the data), so no value is cut
// in two; a record that runs past the chunk is read again, whole, from the
// next one, and reading it again writes the same bytes. Returns where the
// next call must start.
const char* AsciiSection::feed(const char* text, const char* limit, std::int64_t at, bool at_end, std::int64_t stop,
                               const Rows& rows) {
    const char* p = text;
    for (; !done_ && position_ < stop; ++position_) {
        const char* const record_start = p;
        Miss miss;
        p = read_record(p, limit, rows.row(position_), rows.step, columns_, miss);
        if (p == limit && !at_end) return record_start;  // runs into the next chunk
        if (miss.at != nullptr) note_miss(text, miss.at, p, limit, at, miss.field, miss.element);
        // Once the text is used up, or a record read nothing, every later
        // record would read nothing too: the rest keeps its zeros.
        if (p == limit || p == record_start) {
            done_ = true;
            if (complete_ < 0) complete_ = position_ + 1;  // this record was the last one read
        }
    }
    report_.data_end = header_.data_offset + at + (p - text);
    return p;
}

// Reads whole records from `text` on the pool while every value is one run of
// bytes that its column's parse takes whole: blocks of the text count their
// values, which says where each block starts among the records, then parse
// into their places. Stops before the first record that holds anything else
// (sets `irregular`), for the sequential rules to read; and before a record
// the text may not hold in full. `text` must start a value, or separators
// before one, at a record's start. Returns where reading stopped.
const char* AsciiSection::feed_parallel(const char* text, const char* limit, std::int64_t stop, const Rows& rows,
                                        bool& irregular) {
    irregular = false;
    const std::int64_t slots = slots_.back();
    ThreadPool& pool = ThreadPool::shared();
    const std::vector<const char*> bounds = split_text(text, limit, pool.threads());
    const std::size_t blocks = bounds.size() - 1;
    std::vector<std::int64_t> starts(blocks + 1, 0);  // values before each block, then in all
    pool.run(blocks, [&](std::size_t b) { starts[b + 1] = count_tokens(bounds[b], bounds[b + 1]); });
    for (std::size_t b = 0; b < blocks; ++b) starts[b + 1] += starts[b];
    const std::int64_t records = std::min(stop - position_, starts[blocks] / slots);
    if (records == 0) return text;
    const std::int64_t values = records * slots;
    std::vector<std::int64_t> odd(blocks, INT64_MAX);  // what parse_block found in each block
    std::vector<const char*> ends(blocks, nullptr);    // after the last value, in the block that reads it
    const auto parse = [&](std::size_t b) {
        const std::int64_t t = starts[b];
        const std::int64_t block_end = std::min(starts[b + 1], values);
        if (t >= block_end) return;
        const std::int64_t slot = t % slots;
        const auto c =
            static_cast<std::size_t>(std::upper_bound(slots_.begin(), slots_.end(), slot) - slots_.begin() - 1);
        Cursor at{columns_,
                  rows.step,
                  bounds[b],
                  bounds[b + 1],
                  rows.row(position_ + t / slots),
                  c,
                  static_cast<std::int32_t>(slot - slots_[c])};
        odd[b] = parse_block(at, t, block_end, slots);
        if (odd[b] == INT64_MAX && block_end == values) ends[b] = at.p;
    };
    pool.run(blocks, parse, 0, [this] { input_.read_ahead_if_needed(); });
    const std::int64_t first_odd = *std::min_element(odd.begin(), odd.end());
    const std::int64_t done = first_odd == INT64_MAX ? records : first_odd / slots;
    if (done < records && rows.rows != nullptr) {
        // Records from the odd one on were read on a guess: what it stored goes
        // back to zero, for the sequential rules to read again.
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::int64_t from = std::max(starts[b], done * slots);
            // A block may have stored values of its odd record before the one it stopped at.
            const std::int64_t to = std::min({starts[b + 1], values, odd[b] == INT64_MAX ? INT64_MAX : odd[b] + slots});
            if (from < to) clear_values(rows.row(position_), rows.step, columns_, slots_, from, to);
        }
    }
    irregular = done < records;
    position_ += done;
    if (done == 0) return text;
    const std::int64_t last = done * slots - 1;  // the last value read
    const auto b = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), last) - starts.begin() - 1);
    const char* const after = done == records ? ends[b] : find_token(bounds[b], bounds[b + 1], last - starts[b], true);
    report_.data_end = header_.data_offset + input_.offset_of(after);
    return after;
}

// Records of values that are one token each go on the pool; the first
// record that is not such goes by the sequential rules.
const char* AsciiSection::feed_shared(const char* p, const char* limit, std::int64_t stop, const Rows& rows) {
    const ThreadPool& pool = ThreadPool::shared();
    while (!done_ && position_ < stop && pool.worth_sharing(limit - p)) {
        bool irregular = true;
        if (input_.at_value(p)) p = feed_parallel(p, limit, stop, rows, irregular);
        if (!irregular || done_ || position_ == stop) break;
        const std::int64_t before = position_;
        p = feed(p, limit, input_.offset_of(p), input_.at_end(), position_ + 1, rows);
        if (position_ == before) break;  // the record runs into the next chunk
    }
    return p;
}

// A record that is not read in full. The first such record ends the points
// held in full; a miss on a byte (not at the end of the text) is a value that
// cannot be read. It sticks, and reading ends there, when nothing after it in
// its record read it (`end` is still on it) and either no record follows or
// no column of any kind can read it.
void AsciiSection::note_miss(const char* text, const char* miss, const char* end, const char* limit, std::int64_t at,
                             std::int32_t field, std::int32_t element) {
    if (complete_ < 0) complete_ = position_;
    if (miss == limit || bad_.found()) return;
    bad_.offset = at + (miss - text);
    bad_.point = position_;
    bad_.field = field;
    bad_.element = element;
    if (!input_.seekable()) bad_.line = input_.line_feeds_in_chunk(bad_.offset);
    bad_.stuck = end == miss;
    if (bad_.stuck && position_ + 1 < header_.points) {
        for (unsigned kind = 0; kind < 4; ++kind) {
            if (((static_cast<unsigned>(kinds_) >> kind) & 1u) && parses(static_cast<Parse>(kind), miss, limit))
                bad_.stuck = false;
        }
    }
    const char* stop = miss;
    while (stop != limit && stop - miss < 16 && *stop != '\n' && *stop != '\r') ++stop;
    bad_.excerpt.assign(miss, stop);
}

// The columns of a read stored by the placement (or nowhere). Returns true
// when blocks that share a record may write its bytes at once: only where no
// two kept values share a byte, so that which writes last cannot matter.
bool AsciiSection::set_columns(const Placement* placement) {
    columns_.clear();
    for (std::size_t f = 0; f < header_.fields.size(); ++f) {
        const PcdField& field = header_.fields[f];
        if (!in_text(field)) continue;
        const bool keep = placement != nullptr && placement->offset[f] >= 0;
        columns_.push_back(make_column(field, static_cast<std::int32_t>(f), keep ? placement->offset[f] : 0,
                                       placement ? placement->step : 0, keep));
    }
    slots_.assign(1, 0);
    for (const Column& column : columns_) slots_.push_back(slots_.back() + column.count);
    std::vector<ByteRange> spans;
    bool inside = true;
    for (const Column& column : columns_) {
        if (!column.keep) continue;
        inside = inside && column.inside;
        spans.emplace_back(column.offset, column.offset + std::int64_t{column.size} * column.count);
    }
    const std::vector<bool> shared = sharing_bytes(spans);
    return inside && std::none_of(shared.begin(), shared.end(), [](bool s) { return s; });
}

void AsciiSection::run(std::int64_t n, const Placement* placement, std::uint8_t* records) {
    const std::int64_t stop = position_ + n;
    if (done_) {
        position_ = stop;
        return;
    }
    const bool shareable = set_columns(placement);
    // Held across the read's runs: loads from other threads meanwhile each
    // keep to their own thread rather than take turns at the same helpers.
    // Without a helper, the sequential rules read in one pass where the
    // shared reading takes two (count, then parse).
    ThreadPool& pool = ThreadPool::shared();
    const std::int64_t size = input_.known_size();
    const ThreadPool::Lease lease(pool, shareable && (size < 0 || pool.worth_sharing(size)) ? pool.threads() - 1 : 0);
    const bool shared = lease.helpers() > 0;
    const Rows rows{placement ? records : nullptr, position_, placement ? placement->step : 0};
    const bool had_bad_value = bad_.found();
    while (!done_ && position_ < stop) {
        poll_interrupt();
        if (const char* limit = input_.limit()) {
            const char* p = input_.unparsed();
            if (shared) p = feed_shared(p, limit, stop, rows);
            input_.consume_to(feed(p, limit, input_.offset_of(p), input_.at_end(), stop, rows));
            if (done_ || position_ == stop) break;
        }
        input_.refill();  // more text is needed: what is not parsed yet goes in front of it
    }
    if (done_) position_ = stop;  // what follows keeps its zeros
    if (complete_ >= 0) report_.points_complete = complete_;
    if (bad_.found() && !had_bad_value) report_bad_value();
}

// The bad value as the report gives it: from the start of the PCD, and its line.
void AsciiSection::report_bad_value() {
    if (input_.seekable()) bad_.line = input_.line_feeds_read_again(bad_.offset);
    report_.bad_value = bad_;
    report_.bad_value.offset = header_.data_offset + bad_.offset;
    report_.bad_value.line = header_.header_lines + bad_.line + 1;
}

void AsciiSection::read(std::int64_t n, const Placement& placement, std::uint8_t* records, bool) {
    if (n > 0) run(n, &placement, records);
}

void AsciiSection::skip(std::int64_t n) {
    if (n > 0) run(n, nullptr, nullptr);
}

bool AsciiSection::rewind() {
    if (!input_.seekable()) return false;
    input_.rewind();
    restart();
    return true;
}

}  // namespace vantrel
