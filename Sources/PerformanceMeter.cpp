#include "PerformanceMeter.h"

#include "Logger/Logger.h"

PerformanceMeter::PerformanceMeter(std::string operationName, MeterClock clock)
    : _clock(std::move(clock)), _operationName(std::move(operationName)) {
    start();
}

void PerformanceMeter::start() { _startTime = _clock(); }

void PerformanceMeter::commit() {
    Logger::shared().logInfo("Operation \"%@\" took %f seconds", _operationName, _clock() - _startTime);
}
