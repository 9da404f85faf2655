// Runs the fuzz target over files and folders given on the command line, so
// that the target builds and runs in every developer build without libFuzzer.
// With --digest it prints a line per input that sums up what the engine did
// with it, so that two builds (another CPU, another C library) can be diffed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_load.h"

int main(int argc, char** argv) {
    bool digest = false;
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--digest") == 0) {
            digest = true;
            continue;
        }
        const std::filesystem::path path(argv[i]);
        if (!std::filesystem::is_directory(path)) {
            inputs.push_back(path);
            continue;
        }
        for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
            if (entry.is_regular_file()) inputs.push_back(entry.path());
        }
    }
    std::sort(inputs.begin(), inputs.end());  // the same order on every build
    for (const std::filesystem::path& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string line = fuzz_one(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), digest);
        if (digest) std::printf("%s %s\n", path.string().c_str(), line.c_str());
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
