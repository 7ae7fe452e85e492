#pragma once

#include <chrono>
#include <functional>

// The current time as the meters read it: seconds since 1970 as a double. The meters take one
// so that tests can set the time of every commit and tick.
using MeterClock = std::function<double()>;

inline double currentSecondsSince1970() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}
