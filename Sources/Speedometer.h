#pragma once

#include "RateMeter.h"

// The current transfer speed in bytes per second, once a second from creation for as long as
// the meter lives. Created, fed and ticked on the main thread.
class Speedometer : public RateMeter {
public:
    explicit Speedometer(MeterClock clock = currentSecondsSince1970);
};
