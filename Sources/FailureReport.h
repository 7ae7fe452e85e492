#pragma once

#include <string>
#include <string_view>

// The texts of the alerts that ask the user to report a failure to the developers.
namespace FailureReport {

// The first line, the hardware id and "Time:" with the local time, joined by line feeds.
std::string title(std::string_view firstLine);

// The local time as those alerts show it: "dd.MM.YY HH:mm:ss", "YY" being the two-digit
// week-based year.
std::string alertTime();

}  // namespace FailureReport
