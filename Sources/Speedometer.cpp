#include "Speedometer.h"

Speedometer::Speedometer(MeterClock clock) : RateMeter(0.1, false, std::move(clock)) { setUpdateInterval(1.0); }
