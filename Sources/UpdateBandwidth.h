#pragma once

#include "RateMeter.h"

// One bandwidth measurement: every 20 seconds from creation it reports the rate between two
// commits more than 15 seconds apart (0 when they are closer), and stops after the first
// non-zero report. Created, fed and ticked on the main thread.
class UpdateBandwidth : public RateMeter {
public:
    explicit UpdateBandwidth(MeterClock clock = currentSecondsSince1970);
};
