// The LZF decoders alone, one thread: liblzf's lzf_decompress against the
// engine's stream decoder (decode_lzf_stream, straight into memory), on the
// payloads of binary_compressed files and on two extremes (random bytes, which
// LZF stores as literal runs, and one repeated byte, all long back-references).
// Both decode into the same output, touched beforehand: no page faults, only
// decoding. Prints one line per payload: name, MB out, best ms of each, ratio.
#include <lzf.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "lzf_payloads.h"
#include "pcd/lzf_stream.h"

namespace {

Payload made(const std::string& name, const Bytes& data) {
    Bytes out(data.size() + data.size() / 16 + 64);
    out.resize(
        lzf_compress(data.data(), static_cast<unsigned>(data.size()), out.data(), static_cast<unsigned>(out.size())));
    return {name, out, data.size()};
}

}  // namespace

int main(int argc, char** argv) {
    int repeats = 9;
    bool extremes = true;
    std::vector<Payload> payloads;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeats") == 0 && i + 1 < argc) {
            repeats = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--files-only") == 0) {
            extremes = false;
        } else {
            payloads.push_back(from_file(argv[i]));
        }
    }
    if (extremes) {
        std::mt19937 rng(1);
        Bytes random(std::size_t{32} << 20);
        for (auto& b : random) b = static_cast<std::uint8_t>(rng());
        payloads.push_back(made("random bytes", random));
        payloads.push_back(made("one repeated byte", Bytes(std::size_t{32} << 20, 7)));
    }

    std::printf("%-28s %9s %12s %12s %8s\n", "payload", "MB out", "liblzf ms", "vantrel ms", "ratio");
    for (const Payload& payload : payloads) {
        Bytes out(payload.size + vantrel::lzf_slack, 1);
        const double theirs = best_ms(repeats, [&] {
            const unsigned got =
                lzf_decompress(payload.compressed.data(), static_cast<unsigned>(payload.compressed.size()), out.data(),
                               static_cast<unsigned>(payload.size));
            if (got != payload.size) std::abort();
        });
        const Bytes expected(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(payload.size));
        std::fill(out.begin(), out.end(), 0);
        const double ours = best_ms(repeats, [&] {
            std::size_t at = 0;
            const auto read = [&](std::uint8_t* dst, std::size_t size) {
                const std::size_t n = std::min(size, payload.compressed.size() - at);
                std::memcpy(dst, payload.compressed.data() + at, n);
                at += n;
                return n;
            };
            const auto outcome = vantrel::decode_lzf_stream(
                payload.compressed.size(), payload.size, UINT64_MAX, read, [](const std::uint8_t*, std::size_t) {},
                out.data());
            if (!outcome.ok || outcome.decoded != payload.size) std::abort();
        });
        if (!std::equal(expected.begin(), expected.end(), out.begin())) {
            std::fprintf(stderr, "%s: the decoders disagree\n", payload.name.c_str());
            return 1;
        }
        std::printf("%-28s %9.1f %12.2f %12.2f %8.2f\n", payload.name.c_str(), payload.size / 1e6, theirs, ours,
                    ours / theirs);
    }
    return 0;
}
