#include "UpdateBandwidth.h"

UpdateBandwidth::UpdateBandwidth(MeterClock clock) : RateMeter(15.0, true, std::move(clock)) { setUpdateInterval(20.0); }
