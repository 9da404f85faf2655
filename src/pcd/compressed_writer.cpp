#include "pcd/compressed_writer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include <lzf.h>

#include "pcd/thread_pool.h"

namespace vantrel {
namespace {

void put_u32_le(char* out, std::uint32_t value) noexcept {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// The image is compressed in blocks of this many bytes, each on its own: LZF's
// back-references never reach before a block's start, so the blocks' streams
// put one after another are one stream that decodes to the image. The size
// is fixed, so the bytes never depend on how many threads compress them.
constexpr std::int64_t compress_block = std::int64_t{1} << 20;

// The section of an image: the two sizes, then its LZF stream.
void write_compressed(const std::string& text, const std::uint8_t* image, std::int64_t image_size, ByteSink& sink) {
    char sizes[8];
    if (image_size == 0) {
        put_u32_le(sizes, 0);
        put_u32_le(sizes + 4, 0);
        sink.write(text.data(), text.size());
        sink.write(sizes, sizeof sizes);
        return;
    }
    const auto blocks = static_cast<std::size_t>((image_size + compress_block - 1) / compress_block);
    std::vector<BulkMemory> streams(blocks);
    std::vector<unsigned int> lengths(blocks, 0);
    const auto compress = [&](std::size_t b) {
        const std::int64_t first = static_cast<std::int64_t>(b) * compress_block;
        const auto size = static_cast<unsigned int>(std::min(compress_block, image_size - first));
        // LZF never grows its input by more than 4 %; data that does not
        // shrink is stored as literal runs, which every reader decodes alike.
        const unsigned int room = size + size / 16 + 64;
        streams[b] = BulkMemory(room, false);
        lengths[b] = lzf_compress(image + first, size, streams[b].data(), room);
    };
    ThreadPool& pool = ThreadPool::shared();
    pool.run(blocks, compress, pool.worth_sharing(image_size) ? 0 : 1);
    std::uint64_t compressed = 0;
    for (const unsigned int length : lengths) compressed += length;
    if (compressed > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("the compressed data does not fit the format's 32-bit sizes");
    }
    put_u32_le(sizes, static_cast<std::uint32_t>(compressed));
    put_u32_le(sizes + 4, static_cast<std::uint32_t>(image_size));
    sink.expect(text.size() + sizeof sizes + compressed);
    sink.write(text.data(), text.size());
    sink.write(sizes, sizeof sizes);
    for (std::size_t b = 0; b < blocks; ++b) sink.write(reinterpret_cast<const char*>(streams[b].data()), lengths[b]);
}

}  // namespace

void check_compressed_image(std::int64_t image_bytes) {
    if (image_bytes > std::int64_t{std::numeric_limits<std::uint32_t>::max()}) {
        throw std::invalid_argument("binary_compressed holds at most 4 GiB of point data; write binary instead");
    }
}

CompressedSectionWriter::CompressedSectionWriter(ByteSink& sink, const PcdHeader& header, bool total_known)
    : sink_(sink), header_(header), total_known_(total_known) {
    if (total_known) image_ = BulkMemory(static_cast<std::size_t>(header.points * header.point_step), false);
    planes_.resize(header.fields.size());
}

void CompressedSectionWriter::write(const std::vector<FieldSource>& sources, std::int64_t n, std::int64_t written) {
    if (total_known_) {
        write_into_image(sources, n, written);
    } else {
        check_compressed_image((written + n) * header_.point_step);
        write_into_planes(sources, n, written);
    }
}

// Each plane's part at its place in the image, a run of points per task.
void CompressedSectionWriter::write_into_image(const std::vector<FieldSource>& sources, std::int64_t n,
                                               std::int64_t written) {
    std::vector<std::uint8_t*> planes;
    std::uint8_t* plane = image_.data();
    for (const PcdField& field : header_.fields) {
        planes.push_back(plane);
        plane += header_.points * field.bytes();
    }
    constexpr std::int64_t run = std::int64_t{1} << 18;
    const std::int64_t runs = (n + run - 1) / run;
    const auto task = [&](std::size_t t) {
        const std::size_t f = t % sources.size();
        const std::int64_t first = static_cast<std::int64_t>(t / sources.size()) * run;
        const std::int64_t width = header_.fields[f].bytes();
        gather(header_.fields[f], sources[f], first, std::min(run, n - first), planes[f] + (written + first) * width,
               width);
    };
    const auto tasks = static_cast<std::size_t>(runs) * sources.size();
    ThreadPool& pool = ThreadPool::shared();
    pool.run(tasks, task, pool.worth_sharing(n * header_.point_step) ? 0 : 1);
}

// Each plane grows by doubling: each byte moves about once.
void CompressedSectionWriter::write_into_planes(const std::vector<FieldSource>& sources, std::int64_t n,
                                                std::int64_t written) {
    for (std::size_t f = 0; f < sources.size(); ++f) {
        const std::int64_t width = header_.fields[f].bytes();
        BulkMemory& plane = planes_[f];
        const auto needed = static_cast<std::size_t>((written + n) * width);
        if (plane.size() < needed) {
            BulkMemory grown(std::max(needed, plane.size() * 2), false);
            if (written > 0) std::memcpy(grown.data(), plane.data(), static_cast<std::size_t>(written * width));
            plane = std::move(grown);
        }
        gather(header_.fields[f], sources[f], 0, n, plane.data() + written * width, width);
    }
}

void CompressedSectionWriter::finish(const PcdHeader& header, std::int64_t written) {
    const std::int64_t image_size = written * header.point_step;
    if (!total_known_ && image_size > 0) {  // the planes, one after another
        image_ = BulkMemory(static_cast<std::size_t>(image_size), false);
        std::uint8_t* at = image_.data();
        for (std::size_t f = 0; f < planes_.size(); ++f) {
            const std::int64_t bytes = written * header.fields[f].bytes();
            std::memcpy(at, planes_[f].data(), static_cast<std::size_t>(bytes));
            at += bytes;
            planes_[f] = BulkMemory();
        }
    }
    write_compressed(format_pcd_header(header), image_.data(), image_size, sink_);
}

}  // namespace vantrel
