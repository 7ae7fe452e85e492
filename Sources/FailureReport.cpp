#include "FailureReport.h"

#include "PlatformInfo.h"
#include "platform/DateText.h"

namespace FailureReport {

std::string title(std::string_view firstLine) {
    return std::string(firstLine) + "\n" + PlatformInfo::hardwareId() + "\nTime:" +
           platform::alertDateText(std::chrono::system_clock::now());
}

}  // namespace FailureReport
