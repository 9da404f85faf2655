// What the LZF benchmarks share: a binary_compressed file's payload, and the
// best of several timed runs.
#pragma once

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

using Bytes = std::vector<std::uint8_t>;

struct Payload {
    std::string name;
    Bytes compressed;
    std::size_t size;  // decoded
};

inline Payload from_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    const std::string marker = "DATA binary_compressed\n";
    const std::size_t at = text.find(marker);
    if (at == std::string::npos) {
        std::fprintf(stderr, "%s: not a binary_compressed PCD file\n", path.c_str());
        std::exit(2);
    }
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data() + at + marker.size());
    std::uint32_t sizes[2];
    std::memcpy(sizes, p, 8);
    return {path.substr(path.find_last_of('/') + 1), Bytes(p + 8, p + 8 + sizes[0]), sizes[1]};
}

template <typename F>
double best_ms(int repeats, F&& f) {
    double best = 1e30;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        f();
        best =
            std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}
