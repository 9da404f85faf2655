// The floor for ascii loads: read the file into memory and run fast_float over
// every value once, nothing else. Prints the best of N runs in seconds.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <fast_float/fast_float.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: floor_ascii FILE [REPEATS]\n");
        return 2;
    }
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    double best = 1e30;
    double checksum = 0;
    std::size_t values = 0;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        std::ifstream in(argv[1], std::ios::binary);
        in.seekg(0, std::ios::end);
        const auto size = static_cast<std::size_t>(in.tellg());
        in.seekg(0);
        std::unique_ptr<char[]> text(new char[size]);
        in.read(text.get(), static_cast<std::streamsize>(size));
        const char* p = std::strstr(text.get(), "\nDATA ascii\n") + 12;
        const char* end = text.get() + size;
        values = 0;
        while (true) {
            while (p != end && static_cast<unsigned char>(*p) <= 32) ++p;
            if (p == end) break;
            double v = 0;
            p = fast_float::from_chars(p, end, v).ptr;
            checksum += v;
            ++values;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (seconds < best) best = seconds;
    }
    std::printf("%.6f %zu %g\n", best, values, checksum);
    return 0;
}
