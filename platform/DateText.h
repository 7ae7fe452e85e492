#pragma once

#include <chrono>
#include <string>

namespace platform {

// The time as the failure alerts show it, "dd.MM.YY HH:mm:ss" in local time: two-digit day
// and month, the two-digit ISO 8601 week-based year (30 December 2024 is "30.12.25") and the
// 24-hour clock. Any thread.
std::string alertDateText(std::chrono::system_clock::time_point time);

}  // namespace platform
