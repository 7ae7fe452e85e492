#pragma once

#include <string>
#include <string_view>

// The texts of the alerts that ask the user to report a failure to the developers.
namespace FailureReport {

// The first line, the hardware id and "Time:" with the local time as alerts show it, joined by
// line feeds.
std::string title(std::string_view firstLine);

}  // namespace FailureReport
