// The text of an ascii data section, read front to back in chunks: what is
// not parsed yet stays in front of what is read next, and the text after the
// chunk may be read ahead while workers parse the chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>

#include "pcd/bulk_memory.h"

namespace vantrel {

// The size of the chunks in which the text is read: small enough to stay in
// cache from the copy to the parse.
constexpr std::size_t ascii_chunk_size = std::size_t{1} << 20;

// Reads from the stream's position (which must outlive it). Offsets are
// bytes from the section's start. Every text() is whole values: it ends just
// after a separator, or at the end of the input (limit()). Throws
// std::bad_alloc.
class AsciiInput {
public:
    // `chunk_size`: the read size (grown for a record that does not fit;
    // ascii_chunk_size grows to a few MiB when the pool has workers).
    // `needed`: false when nothing will be read (no memory is taken).
    AsciiInput(std::istream& in, std::size_t chunk_size, bool needed);

    // The chunk's text, and where the part not parsed yet starts in it.
    char* text() noexcept { return reinterpret_cast<char*>(chunk_.data() + lead_); }
    const char* unparsed() noexcept { return text() + begin_; }
    // Where the whole values of the chunk end: after its last separator, the
    // end of the input, or null when the unparsed part holds no separator.
    const char* limit() noexcept;
    bool at_end() const noexcept { return at_end_; }
    // The offset of a byte of the chunk.
    std::int64_t offset_of(const char* p) noexcept { return at_ + (p - text()); }
    // True when p starts a value or separators before one (not the middle of a value).
    bool at_value(const char* p) noexcept { return p == text() || static_cast<unsigned char>(p[-1]) <= 32; }
    // The text before p is parsed.
    void consume_to(const char* p) noexcept { begin_ = static_cast<std::size_t>(p - text()); }

    // More text: the unparsed part, then what is read next (or was read ahead).
    void refill();
    // Reads the text after the chunk now, unless it is read or the input ended;
    // the next refill() takes it.
    void read_ahead_if_needed();

    // Line feeds before an offset: counted in the chunk (for a stream that
    // cannot seek; the offset must lie in the chunk), or read again from the
    // section's start and back (a seekable stream).
    std::int64_t line_feeds_in_chunk(std::int64_t offset) noexcept;
    std::int64_t line_feeds_read_again(std::int64_t offset);

    bool seekable() const noexcept { return seekable_; }
    // The section's bytes, when the stream knows them (-1: it does not).
    std::int64_t known_size() const noexcept { return known_size_; }
    // Back to the section's start (a seekable stream only).
    void rewind();
    void restart() noexcept;

private:
    void read_ahead();

    std::istream& in_;
    std::size_t chunk_size_;
    bool seekable_;
    std::int64_t known_size_;
    std::istream::pos_type section_;

    BulkMemory chunk_;
    std::size_t lead_ = 0;                // where the text starts in the chunk's memory
    std::size_t filled_ = 0;              // bytes of text in the chunk
    std::size_t begin_ = 0;               // where the text not yet parsed starts in the chunk
    std::int64_t at_ = 0;                 // where the chunk's first byte lies in the section
    bool at_end_ = false;                 // the stream has given all it holds
    std::int64_t line_feeds_before_ = 0;  // before the chunk's first byte (streams that cannot seek)
    // The text after the chunk, read while workers parse the chunk; what is
    // left of the chunk goes in front of it, into the room kept there.
    BulkMemory ahead_;
    std::size_t ahead_lead_;  // the room: a record cut in two, far longer than most
    std::size_t ahead_filled_ = 0;
    bool ahead_ready_ = false;
    bool ahead_end_ = false;
};

}  // namespace vantrel
