#include "FailureReport.h"

#include "PlatformInfo.h"

#include <ctime>

namespace FailureReport {

std::string title(std::string_view firstLine) {
    return std::string(firstLine) + "\n" + PlatformInfo::hardwareId() + "\nTime:" + alertTime();
}

std::string alertTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    // %g: the ISO 8601 week-based year, two digits.
    const std::size_t length = std::strftime(text, sizeof text, "%d.%m.%g %H:%M:%S", &local);
    return std::string(text, length);
}

}  // namespace FailureReport
