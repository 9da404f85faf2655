#include "pcd/ascii_input.h"

#include <algorithm>
#include <cstring>

#include "pcd/stream_io.h"
#include "pcd/thread_pool.h"
#include "pcd/token_scan.h"

namespace vantrel {

AsciiInput::AsciiInput(std::istream& in, std::size_t chunk_size, bool needed)
    : in_(in), chunk_size_(std::max<std::size_t>(chunk_size, 1)) {
    // With workers to share it, the text comes in larger chunks: a few MiB each.
    const int threads = ThreadPool::shared().threads();
    if (chunk_size == ascii_chunk_size && threads > 1) chunk_size_ = std::size_t{2} << 20 << (threads > 2 ? 1 : 0);
    ahead_lead_ = std::min(chunk_size_, std::size_t{64} << 10);
    const std::int64_t known = remaining_bytes(in);
    // A stream that can seek back counts line feeds only when a value cannot
    // be read; one that cannot counts them as the text goes by.
    seekable_ = known >= 0;
    known_size_ = known;
    section_ = seekable_ ? in.tellg() : std::istream::pos_type(-1);
    // No more memory than the file still holds.
    const std::size_t capacity = known >= 0 && static_cast<std::uint64_t>(known) < chunk_size_
                                     ? static_cast<std::size_t>(known) + 1
                                     : chunk_size_;
    if (needed) chunk_ = BulkMemory(capacity, false);
}

void AsciiInput::restart() noexcept {
    lead_ = filled_ = begin_ = 0;
    ahead_ready_ = false;
    at_ = 0;
    at_end_ = false;
    line_feeds_before_ = 0;
}

void AsciiInput::rewind() {
    in_.clear();
    in_.seekg(section_);
    restart();
}

const char* AsciiInput::limit() noexcept {
    char* const start = text();
    return at_end_ ? start + filled_ : after_last_separator(start + begin_, start + filled_);
}

void AsciiInput::refill() {
    char* const start = text();
    if (!seekable_) line_feeds_before_ += count_line_feeds(start, begin_);
    at_ += static_cast<std::int64_t>(begin_);
    const std::size_t rest = filled_ - begin_;
    begin_ = 0;
    if (ahead_ready_ && rest <= ahead_lead_) {  // the text read ahead, with the rest in front of it
        std::memcpy(ahead_.data() + ahead_lead_ - rest, start + (filled_ - rest), rest);
        std::swap(chunk_, ahead_);
        lead_ = ahead_lead_ - rest;
        filled_ = rest + ahead_filled_;
        at_end_ = ahead_end_;
        ahead_ready_ = false;
        return;
    }
    std::memmove(chunk_.data(), start + (filled_ - rest), rest);
    lead_ = 0;
    filled_ = rest;
    const std::size_t more = ahead_ready_ ? ahead_filled_ : 1;
    if (filled_ + more > chunk_.size()) {  // one record longer than the chunk
        BulkMemory grown(std::max(chunk_.size() * 2, filled_ + more), false);
        std::memcpy(grown.data(), chunk_.data(), filled_);
        chunk_ = std::move(grown);
    }
    char* const room = reinterpret_cast<char*>(chunk_.data());
    if (ahead_ready_) {
        std::memcpy(room + filled_, ahead_.data() + ahead_lead_, ahead_filled_);
        filled_ += ahead_filled_;
        at_end_ = ahead_end_;
        ahead_ready_ = false;
        return;
    }
    in_.read(room + filled_, static_cast<std::streamsize>(chunk_.size() - filled_));
    const auto got = static_cast<std::size_t>(in_.gcount());
    filled_ += got;
    at_end_ = got == 0 || in_.eof();
}

void AsciiInput::read_ahead_if_needed() {
    if (!at_end_ && !ahead_ready_) read_ahead();
}

// Reads the text after the chunk into ahead_, past the room for what the
// chunk will have left.
void AsciiInput::read_ahead() {
    if (ahead_.size() < ahead_lead_ + chunk_size_) ahead_ = BulkMemory(ahead_lead_ + chunk_size_, false);
    char* const room = reinterpret_cast<char*>(ahead_.data() + ahead_lead_);
    in_.read(room, static_cast<std::streamsize>(ahead_.size() - ahead_lead_));
    ahead_filled_ = static_cast<std::size_t>(in_.gcount());
    ahead_end_ = ahead_filled_ == 0 || in_.eof();
    ahead_ready_ = true;
}

std::int64_t AsciiInput::line_feeds_in_chunk(std::int64_t offset) noexcept {
    return line_feeds_before_ + count_line_feeds(text(), static_cast<std::size_t>(offset - at_));
}

// Through a scratch buffer; the stream is left where it stood.
std::int64_t AsciiInput::line_feeds_read_again(std::int64_t offset) {
    in_.clear();
    const std::istream::pos_type back = in_.tellg();
    in_.seekg(section_);
    BulkMemory scratch(std::size_t{1} << 16, false);
    char* const buffer = reinterpret_cast<char*>(scratch.data());
    std::int64_t total = 0;
    while (offset > 0) {
        in_.read(buffer, static_cast<std::streamsize>(std::min<std::int64_t>(offset, std::int64_t{1} << 16)));
        const auto got = static_cast<std::size_t>(in_.gcount());
        if (got == 0) break;
        total += count_line_feeds(buffer, got);
        offset -= static_cast<std::int64_t>(got);
    }
    in_.clear();
    in_.seekg(back);
    return total;
}

}  // namespace vantrel
