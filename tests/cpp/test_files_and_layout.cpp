// Files that appear whole or not at all; where a read puts each field; which fields share bytes.
#include <doctest/doctest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "pcd/byte_ranges.h"
#include "pcd/file_output.h"
#include "pcd/placement.h"

namespace {

std::string temporary_folder() {
    std::string folder = "/tmp/vantrel-cpp-XXXXXX";
    REQUIRE(::mkdtemp(folder.data()) != nullptr);
    return folder;
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int entries(const std::string& folder) {
    const std::string command = "test $(ls -A " + folder + " | wc -l) -eq ";
    for (int n = 0; n < 10; ++n) {
        if (std::system((command + std::to_string(n)).c_str()) == 0) return n;
    }
    return -1;
}

}  // namespace

TEST_CASE("FileOutput replaces the target only on commit, and leaves nothing otherwise") {
    const std::string folder = temporary_folder();
    const std::string target = folder + "/cloud.pcd";
    std::ofstream(target) << "old";
    {
        vantrel::FileOutput out(target);
        out.write("new!", 4);
        CHECK(contents(target) == "old");
    }  // dropped before commit
    CHECK(contents(target) == "old");
    CHECK(entries(folder) == 1);
    {
        vantrel::FileOutput out(target);
        out.write("new header", 10);
        out.rewrite(0, "NEW", 3);
        out.commit();
    }
    CHECK(contents(target) == "NEW header");
    CHECK(entries(folder) == 1);
    std::system(("rm -rf " + folder).c_str());
}

TEST_CASE("FileOutput refuses a folder it cannot write in, saying which file and why") {
    const std::string folder = temporary_folder();
    ::chmod(folder.c_str(), 0500);
    if (::access((folder + "/.").c_str(), W_OK) == 0) {  // root writes anywhere: nothing to check
        ::chmod(folder.c_str(), 0700);
        std::system(("rm -rf " + folder).c_str());
        return;
    }
    try {
        vantrel::FileOutput out(folder + "/cloud.pcd");
        FAIL("a folder without write permission was written");
    } catch (const vantrel::WriteError& error) {
        CHECK(error.error_number() == EACCES);
        CHECK(error.filename() == folder + "/cloud.pcd");
    }
    ::chmod(folder.c_str(), 0700);
    CHECK(entries(folder) == 0);
    std::system(("rm -rf " + folder).c_str());
}

TEST_CASE("a placement of chosen fields packs them in file order; the whole one keeps the file's offsets") {
    vantrel::PcdHeader header;
    header.fields = {{"x", 'F', 4, 1}, {"rgb", 'U', 4, 1}, {"normal", 'F', 8, 3}, {"_", 'U', 1, 2}};
    vantrel::lay_out_record(header);
    const vantrel::Placement whole = vantrel::whole_records(header);
    CHECK(whole.whole);
    CHECK(whole.step == 4 + 4 + 24 + 2);
    CHECK(whole.offset == std::vector<std::int64_t>{0, 4, 8, 32});
    const vantrel::Placement packed = vantrel::packed_records(header, {0, 2});
    CHECK(!packed.whole);
    CHECK(packed.step == 28);
    CHECK(packed.offset == std::vector<std::int64_t>{0, -1, 4, -1});
}

TEST_CASE("sharing_bytes marks both fields of every overlap, and nothing else") {
    using vantrel::ByteRange;
    const std::vector<bool> shared = vantrel::sharing_bytes(
        {ByteRange{0, 4}, ByteRange{4, 8}, ByteRange{2, 6}, ByteRange{8, 8}, ByteRange{20, 30}, ByteRange{10, 12}});
    CHECK(shared == std::vector<bool>{true, true, true, false, false, false});
    // A long range overlaps one that starts after its neighbour ends.
    CHECK(vantrel::sharing_bytes({ByteRange{0, 100}, ByteRange{10, 20}, ByteRange{50, 60}}) ==
          std::vector<bool>{true, true, true});
    vantrel::TakenRanges taken;
    CHECK(taken.take({0, 4}));
    CHECK(!taken.take({3, 5}));
    CHECK(taken.take({4, 8}));
    CHECK(!taken.take({2, 2}));  // an empty range inside a taken one
}
