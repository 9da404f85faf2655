#include "pcd/data_report.h"

#include "pcd/text.h"

namespace vantrel {
namespace {

// "field y of point 3", or "element 2 of field n of point 3" inside a field of COUNT above 1.
std::string value_place(const PcdHeader& header, const DataReport& report) {
    std::string place;
    if (report.bad_value.field >= 0 && static_cast<std::size_t>(report.bad_value.field) < header.fields.size()) {
        const PcdField& field = header.fields[static_cast<std::size_t>(report.bad_value.field)];
        if (field.count > 1) place += "element " + std::to_string(report.bad_value.element) + " of ";
        place += "field " + readable(field.name) + " of ";
    }
    return place + "point " + std::to_string(report.bad_value.point);
}

}  // namespace

std::string describe_shortfall(const PcdHeader& header, const DataReport& report) {
    if (report.complete(header)) return {};
    const std::string held = std::to_string(report.points_complete);
    const std::string of = std::to_string(header.points);
    if (report.bad_value.offset >= 0) {
        const std::string where = "unreadable ascii value at line " + std::to_string(report.bad_value.line) +
                                  " (byte " + std::to_string(report.bad_value.offset) +
                                  "): " + vantrel::quoted(report.bad_value.excerpt) + "; ";
        if (report.bad_value.stuck) return where + "from " + value_place(header, report) + " on, the values are zero";
        return where + "later columns read it, so the values from " + value_place(header, report) +
               " on may be misplaced";
    }
    if (header.encoding == Encoding::binary_compressed) {
        return "PCD data ends early: the compressed image holds " + held + " of " + of +
               " points in full; what it lacks is zero";
    }
    return "PCD data ends early: the file holds " + held + " of " + of + " points; the rest are zero";
}

}  // namespace vantrel
