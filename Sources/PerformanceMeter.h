#pragma once

#include "MeterClock.h"

#include <string>

// A named stopwatch: commit() logs at INFO how long the operation has taken since start().
// Any one thread at a time.
class PerformanceMeter {
public:
    // Starts at once.
    explicit PerformanceMeter(std::string operationName, MeterClock clock = currentSecondsSince1970);

    void start();
    void commit();

private:
    MeterClock _clock;
    double _startTime = 0;
    std::string _operationName;
};
