// An LZF compressor of our own against liblzf's lzf_compress, one thread, on
// the images of binary_compressed files cut into the writer's 1 MiB blocks:
// time and compressed size of each, and a check that lzf_decompress gives
// every block back from our streams. The compressor lives here only: the
// writer adopts it if it is faster at the same or a better ratio.
//
//   g++ -O3 -std=c++17 -I/usr/include/liblzf -o bench/out/lzf_encode bench/lzf_encode.cpp -llzf
//   bench/out/lzf_encode bench/out/lidar_2000000.binary_compressed.pcd [--hash-bits 14]
#include <lzf.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lzf_payloads.h"

namespace {

constexpr std::size_t block = std::size_t{1} << 20;  // as the writer compresses
constexpr std::size_t reach = 8192;                  // farthest back-reference
constexpr std::size_t longest = 264;                 // longest back-reference
constexpr std::size_t literals_most = 32;            // longest literal run

// The decoded image of a binary_compressed file.
Bytes image_of(const std::string& path) {
    const Payload payload = from_file(path);
    Bytes image(payload.size);
    const auto size = static_cast<unsigned>(payload.size);
    if (lzf_decompress(payload.compressed.data(), static_cast<unsigned>(payload.compressed.size()), image.data(),
                       size) != size) {
        std::exit(3);
    }
    return image;
}

// One greedy pass: each position's 3 bytes hashed to the last position that
// had them; a match there within reach is extended as far as it goes.
class Compressor {
public:
    explicit Compressor(unsigned hash_bits) : bits_(hash_bits), table_(std::size_t{1} << hash_bits) {}

    // The stream of in[0, n) into out (room bytes), or 0 when it does not fit.
    std::size_t compress(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t room) {
        std::fill(table_.begin(), table_.end(), 0);  // position + 1; 0 for none
        std::size_t ip = 0, literal = 0, op = 0;
        auto flush = [&](std::size_t end) {
            while (literal < end) {
                const std::size_t run = std::min(end - literal, literals_most);
                if (op + 1 + run > room) return false;
                out[op++] = static_cast<std::uint8_t>(run - 1);
                std::memcpy(out + op, in + literal, run);
                op += run;
                literal += run;
            }
            return true;
        };
        while (ip + 2 < n) {
            std::uint32_t three = in[ip] | in[ip + 1] << 8 | in[ip + 2] << 16;
            if (ip + 3 < n) {  // one load, not three
                std::memcpy(&three, in + ip, 4);
                three &= 0xffffffu;
            }
            const std::size_t h = (three * 2654435761u) >> (32 - bits_);
            const std::size_t ref = table_[h];
            table_[h] = static_cast<std::uint32_t>(ip + 1);
            if (ref == 0 || ip - (ref - 1) > reach || std::memcmp(in + ref - 1, in + ip, 3) != 0) {
                ++ip;
                continue;
            }
            const std::size_t from = ref - 1, most = std::min(longest, n - ip);
            std::size_t length = 3;
            // 8 bytes compared at a time; the first that differs found from their xor.
            while (length + 8 <= most) {
                std::uint64_t a = 0, b = 0;
                std::memcpy(&a, in + from + length, 8);
                std::memcpy(&b, in + ip + length, 8);
                if (a != b) {
                    length += static_cast<std::size_t>(__builtin_ctzll(a ^ b)) / 8;
                    break;
                }
                length += 8;
            }
            while (length < most && in[from + length] == in[ip + length]) ++length;
            if (!flush(ip) || op + 3 > room) return 0;
            const std::size_t distance = ip - from - 1, code = length - 2;
            if (code < 7) {
                out[op++] = static_cast<std::uint8_t>(code << 5 | distance >> 8);
            } else {
                out[op++] = static_cast<std::uint8_t>(7 << 5 | distance >> 8);
                out[op++] = static_cast<std::uint8_t>(code - 7);
            }
            out[op++] = static_cast<std::uint8_t>(distance & 0xff);
            ip += length;
            literal = ip;
        }
        return flush(n) ? op : 0;
    }

private:
    unsigned bits_;
    std::vector<std::uint32_t> table_;
};

}  // namespace

int main(int argc, char** argv) {
    unsigned hash_bits = 14;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--hash-bits") == 0 && i + 1 < argc) {
            hash_bits = static_cast<unsigned>(std::atoi(argv[++i]));
        } else {
            paths.push_back(argv[i]);
        }
    }
    Compressor ours(hash_bits);
    std::printf("%-36s %9s %10s %10s %12s %12s\n", "image", "MB", "liblzf ms", "ours ms", "liblzf bytes", "ours bytes");
    for (const std::string& path : paths) {
        const Bytes image = image_of(path);
        Bytes out(block + block / 16 + 64), back(block);
        std::size_t theirs_bytes = 0, ours_bytes = 0;
        const double theirs = best_ms(5, [&] {
            theirs_bytes = 0;
            for (std::size_t at = 0; at < image.size(); at += block) {
                const auto size = static_cast<unsigned>(std::min(block, image.size() - at));
                theirs_bytes += lzf_compress(image.data() + at, size, out.data(), static_cast<unsigned>(out.size()));
            }
        });
        const double mine = best_ms(5, [&] {
            ours_bytes = 0;
            for (std::size_t at = 0; at < image.size(); at += block) {
                ours_bytes +=
                    ours.compress(image.data() + at, std::min(block, image.size() - at), out.data(), out.size());
            }
        });
        for (std::size_t at = 0; at < image.size(); at += block) {  // every block comes back
            const std::size_t size = std::min(block, image.size() - at);
            const std::size_t got = ours.compress(image.data() + at, size, out.data(), out.size());
            if (got == 0 ||
                lzf_decompress(out.data(), static_cast<unsigned>(got), back.data(), static_cast<unsigned>(size)) !=
                    size ||
                std::memcmp(back.data(), image.data() + at, size) != 0) {
                std::fprintf(stderr, "%s: block at %zu does not come back\n", path.c_str(), at);
                return 1;
            }
        }
        std::printf("%-36s %9.1f %10.2f %10.2f %12zu %12zu\n", path.substr(path.find_last_of('/') + 1).c_str(),
                    image.size() / 1e6, theirs, mine, theirs_bytes, ours_bytes);
    }
    return 0;
}
