// PCL's own reader, for the peers' table: pcl::io::loadPCDFile into a
// PCLPointCloud2 (every field, as vantrel loads them), best of N runs.
// Prints the best seconds, the points, and the sum of x, y and z (to see that
// it read what the others read). Built by peers.py against Debian's libpcl-io.
#include <pcl/PCLPointCloud2.h>
#include <pcl/io/pcd_io.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

double xyz_sum(const pcl::PCLPointCloud2& cloud) {
    double sum = 0;
    for (const auto& field : cloud.fields) {
        if (field.name != "x" && field.name != "y" && field.name != "z") continue;
        for (std::size_t p = 0; p < std::size_t{cloud.width} * cloud.height; ++p) {
            const std::uint8_t* at = cloud.data.data() + p * cloud.point_step + field.offset;
            double v = 0;
            if (field.datatype == pcl::PCLPointField::FLOAT32) {
                float f;
                std::memcpy(&f, at, 4);
                v = f;
            } else if (field.datatype == pcl::PCLPointField::FLOAT64) {
                std::memcpy(&v, at, 8);
            }
            if (!std::isnan(v)) sum += v;
        }
    }
    return sum;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pcl_load FILE [REPEATS]\n");
        return 2;
    }
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    double best = 1e30;
    pcl::PCLPointCloud2 cloud;
    for (int r = 0; r < repeats; ++r) {
        pcl::PCLPointCloud2 fresh;
        const auto start = std::chrono::steady_clock::now();
        if (pcl::io::loadPCDFile(argv[1], fresh) != 0) return 1;
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cloud = std::move(fresh);
    }
    std::printf("%.9f %llu %.17g\n", best, static_cast<unsigned long long>(cloud.width) * cloud.height, xyz_sum(cloud));
    return 0;
}
