#include "pcd/data_report.h"

#include "pcd/text.h"

namespace vantrel {
namespace {

std::string points_range(std::int64_t first, std::int64_t last) {
    return first == last ? "point " + std::to_string(first) + " is"
                         : "points " + std::to_string(first) + " to " + std::to_string(last) + " are";
}

}  // namespace

std::string describe_shortfall(const PcdHeader& header, const DataReport& report) {
    if (report.complete(header)) return {};
    const std::string held = std::to_string(report.points_complete);
    const std::string of = std::to_string(header.points);
    if (report.bad_value_offset >= 0) {
        const std::string where = "unreadable ascii value at line " + std::to_string(report.bad_value_line) +
                                  " (byte " + std::to_string(report.bad_value_offset) +
                                  "): " + quoted(report.bad_value_excerpt) + "; ";
        if (report.bad_value_stuck) {
            return where + points_range(report.points_complete, header.points - 1) + " zero";
        }
        return where + "later columns read it, so the values from point " + held + " on may be misplaced";
    }
    if (header.data_type == data_binary_compressed) {
        return "PCD data ends early: the compressed image holds " + held + " of " + of +
               " points in full; what it lacks is zero";
    }
    return "PCD data ends early: the file holds " + held + " of " + of + " points; the rest are zero";
}

}  // namespace vantrel
